"""Model documents for tests, benchmarks and examples, made the way a
script makes them: through the module's own functions."""
import os


def build_model(module, directory, name, pipes=1, properties=None):
    """Saves a piping model of ``pipes`` pipes as ``<directory>/<name>.strale``
    through ``module`` (the package or its native module, set up), with
    the design ``properties`` given (a study's point), and returns its
    path. The directory is made if needed: one model per directory keeps
    each model's FRE file its own."""
    os.makedirs(str(directory), exist_ok=True)
    model = module.createPipingStrale()
    for _ in range(pipes):
        module.executeCommand(module.createCommand("AddPipe", model))
    for property_name, value in (properties or {}).items():
        model.SetProperty(property_name, value)
    path = os.path.join(str(directory), name + ".strale")
    module.saveStrale(model, path)
    return path

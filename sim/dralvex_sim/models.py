"""Model documents for tests, benchmarks and examples, made the way a
script makes them: through the module's own functions."""
import os


def build_model(module, directory, name, pipes=1):
    """Saves a piping model of ``pipes`` pipes as ``<directory>/<name>.strale``
    through ``module`` (the package or its native module, set up), and
    returns its path. The directory is made if needed: one model per
    directory keeps each model's FRE file its own."""
    os.makedirs(str(directory), exist_ok=True)
    model = module.createPipingStrale()
    for _ in range(pipes):
        module.executeCommand(module.createCommand("AddPipe", model))
    path = os.path.join(str(directory), name + ".strale")
    module.saveStrale(model, path)
    return path

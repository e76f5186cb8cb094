"""The namespace Dralvex.Ductavo.Core of the simulated host."""
import json
import os

from . import dotnet
from .installation import PIPESTRESS_LIBRARY_MAGIC
from .recorder import record
from .sdk import DralvexModule

__all__ = ["CommandController", "Model", "Layer", "LayerCollection", "PSLibrary", "PipingCode", "StructureCode",
           "CalculationCode", "CustomCommand", "Solution"]

STRALE_FORMAT = "DRALVEX-SIM-STRALE/1"


class CalculationCode:
    name = "none"


class PipingCode(CalculationCode):
    name = "piping"


class StructureCode(CalculationCode):
    name = "structure"


class Layer:
    def __init__(self, name):
        record("Layer", name)
        self.Name = name

    @classmethod
    def unrecorded(cls, name):
        """A layer the host makes itself (not a call of the module's)."""
        layer = cls.__new__(cls)
        layer.Name = name
        return layer

    def __repr__(self):
        return "Layer(%r)" % self.Name


class LayerCollection:
    def __init__(self):
        self._layers = []

    def Add(self, layer):
        record("Layers.Add", layer)
        if not isinstance(layer, Layer):
            raise dotnet.ArgumentException("Layers.Add expects a Layer")
        self._layers.append(layer)

    @property
    def Count(self):
        return len(self._layers)

    def __iter__(self):
        return iter(self._layers)

    def __len__(self):
        return len(self._layers)

    def __getitem__(self, index):
        return self._layers[index]

    def names(self):
        return [layer.Name for layer in self._layers]


def _code_for(module):
    if module is None:
        return CalculationCode()
    if not isinstance(module, DralvexModule):
        raise dotnet.ArgumentException("Model(module) expects a DralvexModule member, not %r" % (module,))
    return PipingCode() if module == DralvexModule.Ductavo else StructureCode()


class Model:
    """A model document. Built empty (for loading) or for a module."""

    # The properties, as the class inspector reports them for the class.
    Module: object
    CalculationCode: CalculationCode
    Layers: LayerCollection
    Elements: list
    FileName: str

    def __init__(self, *args):
        record("Model", *args)
        if len(args) > 1:
            raise dotnet.ArgumentException("Model takes at most one argument")
        self.Module = args[0] if args else None
        self.CalculationCode = _code_for(self.Module)
        self.Layers = LayerCollection()
        self.Elements = []
        self.Properties = {}
        self.FileName = None

    # -- design properties (what a study varies; the input file carries them)
    def SetProperty(self, name, value):
        record("Model.SetProperty", name, value)
        if not isinstance(name, str) or not name:
            raise dotnet.ArgumentException("a property's name must be text")
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise dotnet.ArgumentException("property %s must be a number, not %r" % (name, value))
        self.Properties[name] = float(value)

    def GetProperty(self, name):
        record("Model.GetProperty", name)
        if name not in self.Properties:
            raise dotnet.ArgumentException("the model has no property %s" % name)
        return self.Properties[name]

    # -- documents -------------------------------------------------------
    def _document(self):
        document = {
            "format": STRALE_FORMAT,
            "module": self.Module.name if self.Module is not None else None,
            "layers": self.Layers.names(),
            "elements": self.Elements,
        }
        if self.Properties:   # a model without any is the document it always was
            document["properties"] = self.Properties
        return document

    def SaveToFile(self, path):
        record("Model.SaveToFile", path)
        with open(path, "w", encoding="utf-8") as stream:
            json.dump(self._document(), stream, indent=1)
        self.FileName = path

    def LoadFromFile(self, path):
        record("Model.LoadFromFile", path)
        document = dotnet.read_document(path, STRALE_FORMAT, "model document")
        module = document.get("module")
        self.Module = DralvexModule[module] if module else None
        self.CalculationCode = _code_for(self.Module)
        self.Layers = LayerCollection()
        for name in document.get("layers", []):
            self.Layers._layers.append(Layer.unrecorded(name))
        self.Elements = list(document.get("elements", []))
        properties = document.get("properties", {})
        self.Properties = dict(properties) if isinstance(properties, dict) else {}
        self.FileName = path
        return True

    # -- solver input ----------------------------------------------------
    def WriteFreFile(self, frefile, options, maxLength, rotationOption, writeBends, writeImperial,
                     inlineRestraints, inlineDLCS, inlineINDI, writeGroups, loadCases, callback):
        record("Model.WriteFreFile", frefile, options, maxLength, rotationOption, writeBends, writeImperial,
               inlineRestraints, inlineDLCS, inlineINDI, writeGroups, loadCases, callback)
        if not PSLibrary.initialized:
            raise dotnet.InvalidOperationException("PSLibrary is not initialized")
        if not isinstance(maxLength, int) or isinstance(maxLength, bool) or maxLength <= 0:
            raise dotnet.ArgumentException("maxLength must be a positive integer")
        units = {0: "RADIANS", 1: "DEGREES", 2: "MILLIRADIANS"}[rotationOption]
        lines = [
            "* DRALVEX SIMULATED FRE",
            "OPTIONS MAXLEN=%d ROTATION=%s IMPERIAL=%d" % (maxLength, units, writeImperial),
            "INLINE RESTRAINTS=%d DLCS=%d INDI=%d" % (inlineRestraints, inlineDLCS, inlineINDI),
            "MODEL %s LAYERS %s" % (self.CalculationCode.name.upper(), ",".join(self.Layers.names())),
        ]
        lines += ["PROPERTY %s %s" % (name, json.dumps(value)) for name, value in sorted(self.Properties.items())]
        lines += ["ELEMENT %s" % json.dumps(element, sort_keys=True) for element in self.Elements]
        with open(frefile, "w", encoding="utf-8") as stream:
            stream.write(lines[0][:maxLength] + "\n")
            stream.flush()
            # A fault scripted here leaves a partly written file behind.
            record("Model.WriteFreFile.body", frefile)
            for line in lines[1:]:
                stream.write(line[:maxLength] + "\n")
            stream.write("END\n")


class PSLibrary:
    """The PipeStress library, initialised from its file."""

    initialized = False
    path = None

    @staticmethod
    def Initialize(path):
        record("PSLibrary.Initialize", path)
        if not os.path.isfile(path):
            raise dotnet.FileNotFoundException("PipeStress library not found: %s" % path)
        with open(path, "r", encoding="utf-8", errors="replace") as stream:
            if stream.readline().strip() != PIPESTRESS_LIBRARY_MAGIC:
                raise dotnet.BadImageFormatException("Not a PipeStress library: %s" % path)
        PSLibrary.initialized = True
        PSLibrary.path = path


class CommandController:
    def __init__(self):
        record("CommandController")
        self.application = None
        self._model = None

    def SetApplication(self, application):
        record("CommandController.SetApplication", application)
        self.application = application

    @property
    def model(self):
        return self._model

    @model.setter
    def model(self, value):
        record("CommandController.model", value)
        self._model = value

    def AddCommand(self, command):
        """Carries the command out at once on the controller's current model."""
        record("CommandController.AddCommand", command)
        if not isinstance(command, CustomCommand):
            raise dotnet.ArgumentException("AddCommand expects a CustomCommand")
        if self._model is None:
            raise dotnet.InvalidOperationException("The command controller has no model")
        COMMANDS[command.Name](self._model)
        command.ExecutedOn = self._model


def _add_layer(model):
    model.Layers._layers.append(Layer.unrecorded(str(model.Layers.Count)))


def _add_pipe(model):
    number = len(model.Elements) + 1
    model.Elements.append({"Type": "Pipe", "Number": number * 10, "Layer": model.Layers.names()[-1] if
                           model.Layers.Count else "0"})


def _renumber(model):
    for index, element in enumerate(model.Elements, start=1):
        element["Number"] = index


def _fail(model):
    raise dotnet.InvalidOperationException("The command failed on the model")


#: The host's named custom commands.
COMMANDS = {
    "AddLayer": _add_layer,
    "AddPipe": _add_pipe,
    "RenumberElements": _renumber,
    "CheckModelFailure": _fail,
}


class CustomCommand:
    def __init__(self, model, name):
        record("CustomCommand", model, name)
        if not isinstance(model, Model):
            raise dotnet.ArgumentException("CustomCommand expects a Model first")
        if name not in COMMANDS:
            raise dotnet.ArgumentException("Unknown custom command '%s'" % (name,))
        self.Model = model
        self.Name = name
        object.__setattr__(self, "NeedToReloadModelAfterCommand", True)
        object.__setattr__(self, "NeedToSaveModelAfterCommand", True)
        self.ExecutedOn = None

    def __setattr__(self, name, value):
        if name.startswith("NeedTo"):
            record("CustomCommand." + name, value)
        object.__setattr__(self, name, value)


class Solution:
    """The results of a successful run; holds its results file open until
    Dispose."""

    def __init__(self, first, solver):
        record("Solution", first, solver)
        if first is not None:
            raise dotnet.ArgumentException("The first argument must be None here")
        if getattr(solver, "ResultsPath", None) is None or getattr(solver, "Disposed", True):
            raise dotnet.InvalidOperationException("The solver has no results")
        self.Solver = solver
        self._stream = open(solver.ResultsPath, "r", encoding="utf-8")
        self.Results = json.load(self._stream)
        self.Disposed = False

    @property
    def SolverName(self):
        return self.Results["solver"]

    @property
    def ResultsFile(self):
        return self.Solver.ResultsPath

    def Dispose(self):
        record("Solution.Dispose")
        if not self.Disposed:
            self._stream.close()
            self.Solver.Dispose()
            self.Disposed = True


def reset():
    PSLibrary.initialized = False
    PSLibrary.path = None

"""The namespace Dralvex.Ductavo.Core of the simulated host."""
from .recorder import record

__all__ = ["CommandController"]


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

"""The namespace Dralvex.Aster.Core of the simulated host."""
import os

from . import dotnet
from .recorder import record
from .solvers_common import SolverBase, run_program

__all__ = ["AsterSolver"]


class AsterSolver(SolverBase):
    name = "AsterSolver"

    def __init__(self, solverPath, strale, straleFilename, thffile, flag):
        record("AsterSolver", solverPath, strale, straleFilename, thffile, flag)
        super().__init__()
        self.SolverPath, self.Model, self.StraleFile, self.ThfFile = solverPath, strale, straleFilename, thffile
        self.Built = False

    def BuildAnalysisModel(self, keepDistantModels):
        """The number of elements analysed, or -1 when there is nothing to analyse."""
        record("AsterSolver.BuildAnalysisModel", keepDistantModels)
        self._require_live()
        if not getattr(self.Model, "Elements", None):
            return -1
        self.Built = True
        return len(self.Model.Elements)

    def Run(self):
        record("AsterSolver.Run")
        self._require_live()
        if not self.Built:
            raise dotnet.InvalidOperationException("BuildAnalysisModel must come first")
        run_directory = os.path.dirname(self.StraleFile)
        self.ResultsPath = self._results_path(run_directory, self.StraleFile)
        return run_program("Aster", self.SolverPath, run_directory, os.path.basename(self.StraleFile),
                           os.path.relpath(self.ThfFile, run_directory or ".") if self.ThfFile else "")

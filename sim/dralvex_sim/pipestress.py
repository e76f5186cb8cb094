"""The namespace Dralvex.PipeStress.Core of the simulated host."""
import os

from . import dotnet
from .recorder import record
from .solvers_common import SolverBase, read_results, run_program

__all__ = ["PipeStressSolver"]


class PipeStressSolver(SolverBase):
    name = "PipeStressSolver"

    def __init__(self, solverPath, strale, frefile, thffile):
        record("PipeStressSolver", solverPath, strale, frefile, thffile)
        super().__init__()
        self.SolverPath, self.Model, self.FreFile, self.ThfFile = solverPath, strale, frefile, thffile

    def Run(self):
        record("PipeStressSolver.Run")
        self._require_live()
        if not os.path.isfile(self.FreFile):
            raise dotnet.FileNotFoundException("FRE file not found: %s" % self.FreFile)
        run_directory = os.path.dirname(self.FreFile)
        self.ResultsPath = self._results_path(run_directory, self.FreFile)
        return run_program("PipeStress", self.SolverPath, run_directory, os.path.basename(self.FreFile),
                           os.path.relpath(self.ThfFile, run_directory or ".") if self.ThfFile else "")

    def GetAnalysisModel(self):
        record("PipeStressSolver.GetAnalysisModel")
        results = read_results(self.ResultsPath) if self.ResultsPath else None
        return results.get("analysis") if results else None

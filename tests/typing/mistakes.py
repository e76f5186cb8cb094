"""Mistakes a script can make, one per line with a mistake comment: the type
checker must report every one, and nothing else."""
import dralvex_computer as cc
from dralvex_computer import batch

cc.setup_dralvex_computer("C:/App", "Ductavo")  # mistake: the module as a string
cc.solve("a.strale", "PipeStres", True)  # mistake: a misspelt solver
cc.solve("a.strale", "PipeStress", "yes")  # mistake: sandbox is a bool
cc.saveStrale(cc.createPipingStrale(), 42)  # mistake: a number as a file name
cc._dataPath_ = 3  # mistake: a number in a path global
length: int = cc.getStrale("models")  # mistake: the result is a str
cc.addPipingProject("projects", "Plant", "Base", "wide", 1080)  # mistake: a size as text
cc.find_first_file("models")  # mistake: a missing argument
cc.disposeSolution(True)  # mistake: takes no argument
batch.solve_models(["a.strale"], "Astre", batch.Installation("C:/App"))  # mistake: a misspelt solver
solution = cc.solve("a.strale", "Aster", False)
print(solution)

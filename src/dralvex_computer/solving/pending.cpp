// Bodies still to be built.
#include "module/bodies.hpp"
#include "module/not_built.hpp"

namespace dralvex::functions {

Ref solve(Args) { not_built("solve"); }
Ref disposeSolution(Args) { not_built("disposeSolution"); }
Ref solvePipingModel(Args) { not_built("solvePipingModel"); }
Ref solveStructureModel(Args) { not_built("solveStructureModel"); }
Ref PipeStressSolve(Args) { not_built("_PipeStressSolve"); }
Ref AsterSolve(Args) { not_built("_AsterSolve"); }

}  // namespace dralvex::functions

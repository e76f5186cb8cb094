// Bodies still to be built.
#include "module/bodies.hpp"
#include "module/not_built.hpp"

namespace dralvex::functions {

Ref inspectClass(Args) { not_built("inspectClass"); }
Ref findNameSpaceAndAssembly(Args) { not_built("findNameSpaceAndAssembly"); }
Ref createCommand(Args) { not_built("createCommand"); }
Ref executeCommand(Args) { not_built("executeCommand"); }

}  // namespace dralvex::functions

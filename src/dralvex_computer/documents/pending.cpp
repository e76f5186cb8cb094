// Bodies still to be built.
#include "module/bodies.hpp"
#include "module/not_built.hpp"

namespace dralvex::functions {

Ref loadStrale(Args) { not_built("loadStrale"); }
Ref saveStrale(Args) { not_built("saveStrale"); }
Ref getStrale(Args) { not_built("getStrale"); }
Ref createStrale(Args) { not_built("createStrale"); }
Ref createPipingStrale(Args) { not_built("createPipingStrale"); }
Ref createStructureStrale(Args) { not_built("createStructureStrale"); }
Ref find_first_file(Args) { not_built("find_first_file"); }
Ref copyDirectoryToTemp(Args) { not_built("copyDirectoryToTemp"); }
Ref inspectClass(Args) { not_built("inspectClass"); }
Ref findNameSpaceAndAssembly(Args) { not_built("findNameSpaceAndAssembly"); }
Ref writeFreFile(Args) { not_built("writeFreFile"); }
Ref createCommand(Args) { not_built("createCommand"); }
Ref executeCommand(Args) { not_built("executeCommand"); }

}  // namespace dralvex::functions

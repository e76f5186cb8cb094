// Bodies still to be built.
#include "module/bodies.hpp"
#include "module/not_built.hpp"

namespace dralvex::functions {

Ref addProjectFolder(Args) { not_built("addProjectFolder"); }
Ref removeProjectFolder(Args) { not_built("removeProjectFolder"); }
Ref addProject(Args) { not_built("addProject"); }
Ref addPipingProject(Args) { not_built("addPipingProject"); }
Ref addStructureProject(Args) { not_built("addStructureProject"); }
Ref removeProject(Args) { not_built("removeProject"); }
Ref addStudy(Args) { not_built("addStudy"); }
Ref addPipingStudy(Args) { not_built("addPipingStudy"); }
Ref addStructureStudy(Args) { not_built("addStructureStudy"); }
Ref removeStudy(Args) { not_built("removeStudy"); }
Ref duplicateStudy(Args) { not_built("duplicateStudy"); }

}  // namespace dralvex::functions

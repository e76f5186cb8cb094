// Custom commands: built for a model, carried out by the command controller
// on its current model. Neither function saves the model.
#include "module/bodies.hpp"
#include "runtime/api.hpp"
#include "shared/installation.hpp"

namespace dralvex::functions {

Ref createCommand(PyObject* command_name, PyObject* strale) {
    require_setup();
    Ref custom_command_type = type_from_assembly(ductavo_core_assembly(), "CustomCommand"_py);
    set_attr(global("_commandController_"_py), "model"_py, strale);
    Ref command = call(custom_command_type, strale, command_name);   // the host takes the model first
    set_attr(command, "NeedToReloadModelAfterCommand"_py, Py_False);
    set_attr(command, "NeedToSaveModelAfterCommand"_py, Py_False);
    return command;
}

Ref executeCommand(PyObject* command) {
    require_setup();
    call_method(global("_commandController_"_py), "AddCommand"_py, command);
    return none();
}

}  // namespace dralvex::functions

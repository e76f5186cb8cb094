// The module the runtime serves, named once when the module is created:
// function objects, traceback entries and the runtime's own messages show
// it. The runtime knows nothing else of the module.
#pragma once

#include <string>

namespace dralvex {

// "package.module"; called once, before any function object is made.
void set_module_name(const char* qualified_name);

const char* module_name() noexcept;         // "package.module"
const char* module_short_name() noexcept;   // "module"

// A copy of `text` that lives as long as the process (names that code
// objects and types keep by address).
const char* lasting_text(std::string text);

}  // namespace dralvex

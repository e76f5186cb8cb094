// The module's functions, described in the order the module creates and
// binds them (function_table.cpp).
#pragma once

#include "runtime/function_description.hpp"

#include <span>

namespace dralvex {

extern const std::span<const FunctionDescription> function_table;

}  // namespace dralvex

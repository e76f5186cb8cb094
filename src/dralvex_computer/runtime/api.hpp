// The helper layer every function body is written in, one concept a file:
// names, the namespace, values, calls, names as text, imports and
// statements. Bodies include this file.
#pragma once

#include "runtime/calls.hpp"
#include "runtime/imports.hpp"
#include "runtime/names.hpp"
#include "runtime/namespace.hpp"
#include "runtime/refs.hpp"
#include "runtime/statements.hpp"
#include "runtime/text.hpp"
#include "runtime/values.hpp"

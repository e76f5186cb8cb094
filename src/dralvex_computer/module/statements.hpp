// The pieces of module initialisation, in the order the statements run.
#pragma once

#include "module/refs.hpp"

namespace dralvex {

// from enum import Enum / import os / ... / import uuid
void run_imports(PyObject* globals);
// class DralvexModule(Enum): All = -1; Ductavo = 0; Framavo = 1
void define_enumeration(PyObject* globals);
// The module globals with their initial values, in table order.
void assign_globals(PyObject* globals);
// One function object per table entry, in table order.
void create_functions(PyObject* globals);

}  // namespace dralvex

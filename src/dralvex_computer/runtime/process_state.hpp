// What the runtime keeps for the life of the process, in one place. Every
// member is made once (at module creation or at its first use, under the
// GIL) and never released: the module is never unloaded. Two members are
// caches that never shrink; their bounds are given beside them.
//
// Kept elsewhere, by design:
// - "name"_py strings (names.hpp): one constant-initialised Lazy per
//   literal in the source, so a name costs no look-up; bounded by the
//   literals the source holds (a few hundred).
// - Lazy values of the bodies (a module function they call, for example):
//   beside the body that uses them, one per declaration.
// - the running module function and the nesting depth (boundary.cpp):
//   per thread, not per process.
#pragma once

#include "runtime/names.hpp"

#include <deque>
#include <map>
#include <string>
#include <tuple>

namespace dralvex {

// A C++ statement, for a given module function: (function's name, source
// file, line), both texts kept by address.
using StatementKey = std::tuple<const char*, const char*, unsigned>;

struct ProcessState {
    // -- the module served: named once at its creation, before any function
    //    object is made (identity.hpp)
    std::string module_name = "<module>";         // "package.module"
    std::string module_short_name = "<module>";   // "module"
    // Texts that code objects and types keep by address: the module's and
    // each function's names, a few file names. Grows with each one given
    // (about 40); a deque never moves what it holds.
    std::deque<std::string> lasting_texts;

    // -- the namespace: strong references taken at module creation
    Lasting globals;    // the module's __dict__
    Lasting builtins;   // the builtins module

    // -- the function objects' type, made with the first function object
    PyTypeObject function_type{};
    bool function_type_ready = false;

    // -- the compound statements (python_statements.cpp): Python functions
    //    compiled at their first use, strong
    const char* statements_file_name = nullptr;   // "<module statements>"
    const char* block_capsule_name = nullptr;     // "package.module.block"
    Lasting rollback_function;
    Lasting try_finally_function;
    Lasting with_statement_function;
    Lasting try_except_function;
    Lasting exception_class_lookup;
    Lasting left_class;   // what a helper hands back when an exception left

    // -- values of the runtime's own made at first use
    Lazy nul_separator;   // "\0", to join names into one text
#ifdef PYPY_VERSION
    Lazy dict_strategy;   // __pypy__.strategy
    Lazy exact_str_strategies;   // the strategies of dicts with exact str keys only
    Lazy texts_at_function;      // the bulk reader of plain dicts (plain_data.cpp)
#endif

    // -- caches that never shrink
    // The traceback entry's code object of a statement that failed, one per
    // (module function, failing C++ statement): at most the 35 functions
    // times the checked statements each reaches, in practice the few dozen
    // statements that ever fail; about 150 bytes each.
    std::map<StatementKey, PyCodeObject*> entry_codes;
    // The re-raiser of a compound statement, compiled once per (module
    // function, statement): at most the 35 functions times the 9 compound
    // statements of the bodies, in practice about 20; about 2 KB each.
    std::map<StatementKey, PyObject*> reraisers;
};

// Defined at namespace scope, made before the module's init function runs:
// a function-local static would be made under the C++ runtime's
// initialisation lock (see Lazy).
extern ProcessState process_state;

}  // namespace dralvex

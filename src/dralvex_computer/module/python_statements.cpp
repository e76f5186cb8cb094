// The compound statements the bodies need, run by a few lines of Python.
//
// The exception of a failing block then never leaves the interpreter: the
// interpreter chains it (__context__) and runs `with` exactly as in a Python
// function, and nothing fetches it, which on PyPy copies the traceback into
// C objects that are never freed and aborts the process at the recursion
// limit. The blocks are C++ callables wrapped as Python functions.
#include "module/api.hpp"

#include <exception>
#include <new>

namespace dralvex {

namespace {

constexpr const char statements_source[] =
    "def rollback(block, undo):\n"
    "    try:\n"
    "        block()\n"
    "    except:\n"
    "        undo()\n"
    "        raise\n"
    "\n"
    "def try_finally(block, cleanup):\n"
    "    try:\n"
    "        block()\n"
    "    finally:\n"
    "        cleanup()\n"
    "\n"
    "def with_statement(manager, block):\n"
    "    with manager as value:\n"
    "        block(value)\n"
    "\n"
    "def try_except(block, exception_class):\n"
    "    try:\n"
    "        block()\n"
    "    except exception_class() as error:\n"
    "        return error\n";

constexpr const char statements_file[] = "<dralvex_core statements>";

PyObject* rollback_function = nullptr;        // strong, set at module creation
PyObject* try_finally_function = nullptr;
PyObject* with_statement_function = nullptr;
PyObject* try_except_function = nullptr;

constexpr const char block_capsule[] = "dralvex_computer.dralvex_core.block";

PyObject* call_block(PyObject* capsule, PyObject* args) {
    auto* block = static_cast<detail::Block*>(PyCapsule_GetPointer(capsule, block_capsule));
    if (block == nullptr) return nullptr;
    PyObject* argument = PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : Py_None;
    try {
        block->run(argument);
        return Ref::borrow(Py_None).release();
    } catch (const PyError& error) {
        block->failed = error.where;
    } catch (...) {
        set_error_from_cpp_exception(std::current_exception());
    }
    return nullptr;
}

PyMethodDef block_method = {"block", call_block, METH_VARARGS, nullptr};

// `except Exception` reads `Exception` when an exception is to be matched,
// from the module namespace, then the builtins, as a clause in one of the
// module's own functions would.
PyObject* exception_class(PyObject*, PyObject*) {
    try {
        return global("Exception"_py).release();
    } catch (const PyError&) {
        return nullptr;
    }
}

PyMethodDef exception_class_method = {"exception_class", exception_class, METH_NOARGS, nullptr};

Ref callable(detail::Block& block, Where where) {
    Ref capsule = Ref::steal(PyCapsule_New(&block, block_capsule, nullptr), where);
    return Ref::steal(PyCFunction_NewEx(&block_method, capsule.get(), nullptr), where);
}

// Raises on from the statement that failed: the last block that failed, or
// the statement itself (`__enter__`, `__exit__`, a failed `except` clause).
[[noreturn]] void fail_from(std::initializer_list<const detail::Block*> blocks, Where where) {
    const detail::Block* failed = nullptr;
    for (const detail::Block* block : blocks) {
        if (block->failed) failed = block;
    }
    raise_pending(failed != nullptr ? *failed->failed : where);
}

Ref run(PyObject* function, std::initializer_list<const detail::Block*> blocks, Where where, Obj first,
        Obj second) {
    PyObject* result = PyObject_CallFunctionObjArgs(function, first.ptr, second.ptr, nullptr);
    if (result == nullptr) fail_from(blocks, where);
    return Ref::steal(result, where);
}

}  // namespace

void set_error_from_cpp_exception(std::exception_ptr exception) noexcept {
    try {
        std::rethrow_exception(exception);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in dralvex_computer.dralvex_core");
    }
}

namespace {

// The functions are made at their first use, not at import, where
// compiling them would be most of the module's own import time.
void create_statement_functions(Where where) {
    if (rollback_function != nullptr) return;
    Ref code = Ref::steal(Py_CompileString(statements_source, statements_file, Py_file_input), where);
    Ref scratch = Ref::steal(PyDict_New(), where);
    require(PyDict_SetItemString(scratch.get(), "__builtins__", PyEval_GetBuiltins()), where);
    Ref executed = Ref::steal(PyEval_EvalCode(code.get(), scratch.get(), scratch.get()), where);
    auto take = [&](const char* name) {
        PyObject* function = PyDict_GetItemString(scratch.get(), name);   // borrowed
        if (function == nullptr) {
            PyErr_Format(PyExc_SystemError, "statement helper %s missing", name);
            raise_pending(where);
        }
        return Ref::borrow(function);
    };
    try_except_function = take("try_except").release();
    rollback_function = take("rollback").release();
    try_finally_function = take("try_finally").release();
    with_statement_function = take("with_statement").release();
}

}  // namespace

namespace detail {

void run_rollback(Block& block, Block& undo, Where where) {
    create_statement_functions(where);
    run(rollback_function, {&block, &undo}, where, callable(block, where), callable(undo, where));
}

void run_try_finally(Block& block, Block& cleanup, Where where) {
    create_statement_functions(where);
    run(try_finally_function, {&block, &cleanup}, where, callable(block, where), callable(cleanup, where));
}

void run_with(Obj manager, Block& block, Where where) {
    create_statement_functions(where);
    run(with_statement_function, {&block}, where, manager, callable(block, where));
}

std::optional<Ref> run_try_except(Block& block, Where where) {
    create_statement_functions(where);
    static PyObject* const lookup = PyCFunction_NewEx(&exception_class_method, nullptr, nullptr);
    if (lookup == nullptr) raise_pending(where);
    Ref caught = run(try_except_function, {&block}, where, callable(block, where), lookup);
    if (caught.get() == Py_None) return std::nullopt;
    return caught;
}

}  // namespace detail

}  // namespace dralvex

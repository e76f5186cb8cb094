// The compound statements the bodies need, run by a few lines of Python.
//
// The exception of a failing block then never leaves the interpreter: the
// interpreter chains it (__context__) and runs `with` exactly as in a Python
// function, and nothing fetches it, which on PyPy copies the traceback into
// C objects that are never freed and aborts the process at the recursion
// limit. The blocks are C++ callables wrapped as Python functions.
//
// A helper never raises: it hands back the exception that leaves the
// statement and which block it came from, as the attributes of a plain
// object. Never in a tuple: on PyPy a tuple seen from C holds its items by
// C references, and the helper's frame, which the exception's traceback
// keeps, keeps the tuple: a cycle through C that no collection frees.
//
// The exception then goes on from a re-raiser made for the running function
// and the failing C++ line, which drops the helper's own traceback entry:
// the exception carries exactly one entry for the function, as if it had
// been written in Python.
#include "runtime/boundary.hpp"
#include "runtime/calls.hpp"
#include "runtime/identity.hpp"
#include "runtime/process_state.hpp"
#include "runtime/python_source.hpp"
#include "runtime/reraisers.hpp"
#include "runtime/statements.hpp"

#include <array>
#include <exception>
#include <new>
#include <string>
#include <thread>

namespace dralvex {

namespace {

// Each helper returns None when the statement completed, a Left when an
// exception leaves it -- source is the index of the block it came from, -1
// for the statement itself (__enter__, __exit__, the except clause); first
// is the first block's exception when another one left the statement while
// it was handled (that one's context), else None -- and try_except returns
// True when it caught one and its handler completed.
constexpr const char statements_source[] =
    "class Left:\n"
    "    def __init__(self, error, source, first):\n"
    "        self.error, self.source, self.first = error, source, first\n"
    "\n"
    "def rollback(block, undo):\n"
    "    try:\n"
    "        block()\n"
    "    except BaseException as error:\n"
    "        try:\n"
    "            undo()\n"
    "        except BaseException as second:\n"
    "            return Left(second, 1, error)\n"
    "        return Left(error, 0, None)\n"
    "\n"
    "def try_finally(block, cleanup):\n"
    "    try:\n"
    "        block()\n"
    "    except BaseException as error:\n"
    "        try:\n"
    "            cleanup()\n"
    "        except BaseException as second:\n"
    "            return Left(second, 1, error)\n"
    "        return Left(error, 0, None)\n"
    "    try:\n"
    "        cleanup()\n"
    "    except BaseException as error:\n"
    "        return Left(error, 1, None)\n"
    "\n"
    "def with_statement(manager, block):\n"
    "    failed = None\n"
    "    try:\n"
    "        with manager as value:\n"
    "            try:\n"
    "                block(value)\n"
    "            except BaseException as error:\n"
    "                failed = error\n"
    "                raise\n"
    "    except BaseException as error:\n"
    "        if error is failed:\n"
    "            failed = None\n"
    "            return Left(error, 0, None)\n"
    "        first, failed = failed, None\n"
    "        return Left(error, -1, first)\n"
    "\n"
    "def try_except(block, exception_class, handler):\n"
    "    failed = None\n"
    "    try:\n"
    "        try:\n"
    "            try:\n"
    "                block()\n"
    "            except BaseException as error:\n"
    "                failed = error\n"
    "                raise\n"
    "        except exception_class() as error:\n"
    "            failed = None\n"
    "            try:\n"
    "                handler(error)\n"
    "            except BaseException as second:\n"
    "                return Left(second, 1, error)\n"
    "            return True\n"
    "    except BaseException as error:\n"
    "        if error is failed:\n"
    "            failed = None\n"
    "            return Left(error, 0, None)\n"
    "        first, failed = failed, None\n"
    "        return Left(error, -1, first)\n";

// "<module statements>", the file the helpers' code objects name.
const char* statements_file() {
    const char*& name = process_state.statements_file_name;
    if (name == nullptr) name = lasting_text(std::string("<").append(module_short_name()).append(" statements>"));
    return name;
}

// ------------------------------------------------------------- blocks

// The capsules' name, "package.module.block".
const char* block_capsule() {
    const char*& name = process_state.block_capsule_name;
    if (name == nullptr) name = lasting_text(std::string(module_name()).append(".block"));
    return name;
}

// What a block's Python callable holds: the block while its statement runs,
// nothing afterwards. Owned by the callable, so a script that keeps the
// callable keeps only this.
struct BlockCell {
    detail::Block* block;
    std::thread::id thread;
    const detail::Block* first;   // the statement's first block, for a second one
    bool after_failure_only;      // the second runs only once the first failed
};

// A second block (undo, cleanup, handler) runs only when the statement has
// reached it: once the first block has ended (or failed, for undo and
// handler).
bool may_run(const BlockCell& cell) noexcept {
    using State = detail::Block::State;
    if (cell.block == nullptr || cell.block->state != State::ready || cell.thread != std::this_thread::get_id()) {
        return false;
    }
    if (cell.first == nullptr) return true;
    return cell.first->state == State::failed || (!cell.after_failure_only && cell.first->state == State::done);
}

void destroy_cell(PyObject* capsule) {
    delete static_cast<BlockCell*>(PyCapsule_GetPointer(capsule, block_capsule()));
}

PyObject* call_block(PyObject* capsule, PyObject* args) {
    auto* cell = static_cast<BlockCell*>(PyCapsule_GetPointer(capsule, block_capsule()));
    if (cell == nullptr) return nullptr;
    if (!may_run(*cell)) {
        PyErr_Format(PyExc_RuntimeError, "a block of a %s statement runs once, inside its statement", module_name());
        return nullptr;
    }
    detail::Block* block = cell->block;
    PyObject* argument = PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : Py_None;
    block->state = detail::Block::State::running;
    try {
        block->run(argument);
        block->state = detail::Block::State::done;
        return Ref::borrow(Py_None).release();
    } catch (const PyError& error) {
        block->failed = error.where;
        block->failure_has_entry = error.has_entry;
    } catch (...) {
        set_error_from_cpp_exception(std::current_exception());
    }
    block->state = detail::Block::State::failed;
    return nullptr;
}

PyMethodDef block_method = {"block", call_block, METH_VARARGS, nullptr};

// When a statement's second block may run.
enum class Second { after_failure, after_first };

// The callables of one statement's blocks, which stop reaching their blocks
// when the statement ends, however it ends.
class BoundBlocks {
public:
    BoundBlocks(std::initializer_list<detail::Block*> blocks, Second second, Where where) {
        for (detail::Block* block : blocks) {
            const detail::Block* first = count_ > 0 ? cells_[0]->block : nullptr;
            auto* cell = new BlockCell{block, std::this_thread::get_id(), first, second == Second::after_failure};
            PyObject* capsule = PyCapsule_New(cell, block_capsule(), destroy_cell);
            if (capsule == nullptr) {
                delete cell;
                raise_pending(where);
            }
            Ref owned_capsule = Ref::steal(capsule, where);
            cells_[count_] = cell;
            callables_[count_++] = Ref::steal(PyCFunction_NewEx(&block_method, owned_capsule.get(), nullptr), where);
        }
    }
    BoundBlocks(const BoundBlocks&) = delete;
    BoundBlocks& operator=(const BoundBlocks&) = delete;
    ~BoundBlocks() {
        for (std::size_t index = 0; index < count_; ++index) cells_[index]->block = nullptr;
    }
    PyObject* operator[](std::size_t index) const noexcept { return callables_[index].get(); }

private:
    std::array<BlockCell*, 2> cells_{};
    std::array<Ref, 2> callables_;
    std::size_t count_ = 0;
};

[[noreturn]] void refuse(const char* statement, Where where) {
    PyErr_Format(PyExc_SystemError, "%s: the %s statement did not run as written", module_short_name(), statement);
    raise_pending(where);
}

// The first block's exception, now the context of the one that leaves the
// statement, gets the same single entry for the function at the block's
// failing statement. Should that fail (the recursion limit), the context
// keeps the traceback it has: the exception that goes on matters more.
void retrace_first(const char* function, PyObject* first_error, const detail::Block* first, Where where) noexcept {
    try {
        if (!PyExceptionInstance_Check(first_error) || first->state != detail::Block::State::failed) return;
        const Where line = first->failed ? *first->failed : where;
        Ref drop = integer(first->failure_has_entry ? 2 : 1, where);
        Ref done = Ref::steal(
            PyObject_CallFunctionObjArgs(reraiser(function, line), first_error, drop.get(), Py_True, nullptr), where);
    } catch (const PyError&) {
        PyErr_Clear();
    } catch (...) {
        // a C++ exception from the cache: the context keeps its traceback
    }
}

// Raises on the exception a helper handed back, from the block it left
// (the failing statement inside it) or from the statement itself.
[[noreturn]] void raise_from(const char* statement, const Ref& outcome, std::initializer_list<const detail::Block*> blocks,
                             Where where) {
    if (Py_TYPE(outcome.get()) != reinterpret_cast<PyTypeObject*>(process_state.left_class.get())) refuse(statement, where);
    Ref error_ref = attr(outcome, "error"_py, where), source_index = attr(outcome, "source"_py, where);
    Ref first_ref = attr(outcome, "first"_py, where);
    PyObject* error = error_ref.get();
    PyObject* first_error = first_ref.get();
    const long index = PyLong_Check(source_index.get()) ? PyLong_AsLong(source_index.get()) : -2;
    if (index == -1 && PyErr_Occurred()) raise_pending(where);
    if (!PyExceptionInstance_Check(error) || index < -1 || index >= static_cast<long>(blocks.size())) refuse(statement, where);
    const detail::Block* source = index >= 0 ? blocks.begin()[index] : nullptr;
    if (source != nullptr && source->state != detail::Block::State::failed) refuse(statement, where);

    const Where line = source != nullptr && source->failed ? *source->failed : where;
    const char* function = running_function();
    if (function == nullptr) {
        // Outside a module function there is no entry to stand in for.
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
        raise_pending(line);
    }
    if (first_error != Py_None) retrace_first(function, first_error, *blocks.begin(), where);
    Ref drop = integer(source != nullptr && source->failure_has_entry ? 2 : 1, where);
    PyObject* result = PyObject_CallFunctionObjArgs(reraiser(function, line), error, drop.get(), Py_False, nullptr);
    if (result != nullptr) {
        Py_DECREF(result);
        refuse(statement, where);
    }
    // A re-raiser that could not even start (the recursion limit) made no entry.
    throw PyError{line, !PyErr_ExceptionMatches(PyExc_RecursionError)};
}

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

// The functions are made at their first use, not at import, where
// compiling them would be most of the module's own import time. Made under
// the GIL with no C++ lock held; if another thread made them while this one
// let the GIL go, its functions are kept.
void create_statement_functions(Where where) {
    if (process_state.rollback_function) return;
    Ref scope = run_source(statements_source, statements_file(), {}, where);
    auto take = [&](const char* name) { return defined(scope, name, where); };
    Ref lookup = Ref::steal(PyCFunction_NewEx(&exception_class_method, nullptr, nullptr), where);
    Ref try_except = take("try_except"), rollback = take("rollback"), try_finally = take("try_finally"),
        with_statement = take("with_statement"), left = take("Left");
    if (process_state.rollback_function) return;
    process_state.left_class.keep(std::move(left));
    process_state.exception_class_lookup.keep(std::move(lookup));
    process_state.try_except_function.keep(std::move(try_except));
    process_state.try_finally_function.keep(std::move(try_finally));
    process_state.with_statement_function.keep(std::move(with_statement));
    process_state.rollback_function.keep(std::move(rollback));   // last: the others are ready when it is
}

Ref run(PyObject* function, Where where, Obj first, Obj second, PyObject* third = nullptr) {
    PyObject* result = PyObject_CallFunctionObjArgs(function, first.ptr, second.ptr, third, nullptr);
    // The helper itself failed to run (the recursion limit, a script's
    // replacement that raised): its exception goes on as it is.
    return Ref::steal(result, where);
}

bool is(const detail::Block& block, detail::Block::State state) noexcept { return block.state == state; }

}  // namespace

namespace detail {

using State = Block::State;

void run_rollback(Block& block, Block& undo, Where where) {
    create_statement_functions(where);
    const BoundBlocks bound({&block, &undo}, Second::after_failure, where);
    Ref outcome = run(process_state.rollback_function.get(), where, bound[0], bound[1]);
    if (outcome.get() != Py_None) raise_from("rollback", outcome, {&block, &undo}, where);
    if (!is(block, State::done)) refuse("rollback", where);
}

void run_try_finally(Block& block, Block& cleanup, Where where) {
    create_statement_functions(where);
    const BoundBlocks bound({&block, &cleanup}, Second::after_first, where);
    Ref outcome = run(process_state.try_finally_function.get(), where, bound[0], bound[1]);
    if (outcome.get() != Py_None) raise_from("try/finally", outcome, {&block, &cleanup}, where);
    if (!is(block, State::done) || !is(cleanup, State::done)) refuse("try/finally", where);
}

void run_with(Obj manager, Block& block, Where where) {
    create_statement_functions(where);
    const BoundBlocks bound({&block}, Second::after_first, where);
    Ref outcome = run(process_state.with_statement_function.get(), where, manager, bound[0]);
    if (outcome.get() != Py_None) raise_from("with", outcome, {&block}, where);
    // A manager may suppress the block's exception, as __exit__ can.
    if (!is(block, State::done) && !is(block, State::failed)) refuse("with", where);
}

bool run_try_except(Block& block, Block& handler, Where where) {
    create_statement_functions(where);
    const BoundBlocks bound({&block, &handler}, Second::after_failure, where);
    Ref outcome = run(process_state.try_except_function.get(), where, bound[0], process_state.exception_class_lookup.get(), bound[1]);
    if (outcome.get() == Py_True) {
        if (!is(block, State::failed) || !is(handler, State::done)) refuse("try/except", where);
        return true;
    }
    if (outcome.get() != Py_None) raise_from("try/except", outcome, {&block, &handler}, where);
    if (!is(block, State::done)) refuse("try/except", where);
    return false;
}

}  // namespace detail

}  // namespace dralvex

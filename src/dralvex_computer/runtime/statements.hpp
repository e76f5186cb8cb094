// The Python statements the bodies need: raise, for, try/except Exception,
// and the compound statements, which run as Python with C++ blocks (see
// STATEMENTS.md beside this file).
#pragma once

#include "runtime/names.hpp"

#include <optional>
#include <type_traits>

namespace dralvex {

// raise exception: `raise(Call{global("OSError"_py), message})` reads the
// class by name as Python does, before the message is made.
[[noreturn]] void raise(Obj exception, Where where = Where::current());

// for value in iterable: body(value). A body that returns bool ends the
// loop by returning false (break).
template <class Body>
void for_each(At iterable, Body&& body) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable.ptr), iterable.where);
    while (PyObject* next = PyIter_Next(iterator.get())) {
        Ref value = Ref::steal(next, iterable.where);
        if constexpr (std::is_same_v<decltype(body(value)), bool>) {
            if (!body(value)) return;
        } else {
            body(value);
        }
    }
    require_no_error(iterable.where);
}

// Whether the pending exception matches the class named `name` in the
// module namespace (then builtins), read at this moment as an `except name:`
// clause reads it. A missing name or a value that is no exception class
// raises NameError or TypeError with the pending exception as its context.
bool pending_matches(PyObject* name, Where where = Where::current());

// try: body() / except Exception: pass. Returns whether an exception was
// caught; other exceptions go on unchanged. The caught exception is cleared,
// never fetched: on PyPy a fetch keeps C copies of the traceback alive.
template <class Body>
bool catch_exception(Body&& body, Where where = Where::current()) {
    try {
        body();
        return false;
    } catch (const PyError&) {
        if (!pending_matches("Exception"_py, where)) throw;
        PyErr_Clear();
        return true;
    }
}

// The compound statements below run as Python code (python_statements.cpp),
// with C++ callables as their blocks. A block runs at most once, on the
// thread of its statement and while the statement runs; called at any
// other time (a script that kept it) it raises RuntimeError.
namespace detail {
struct Block {
    enum class State { ready, running, done, failed };
    void (*run_code)(void* code, PyObject* argument) = nullptr;
    void* code = nullptr;
    State state = State::ready;
    std::optional<Where> failed;      // the C++ statement that failed inside
    bool failure_has_entry = false;   // that failure carries the function's entry already
    void run(PyObject* argument) { run_code(code, argument); }
};

template <class Code>
Block block(Code& code) {
    Block made;
    made.run_code = [](void* callable, PyObject* argument) {
        Code& run = *static_cast<Code*>(callable);   // Code may be const
        if constexpr (std::is_invocable_v<Code&, const Ref&>) {
            run(Ref::borrow(argument));
        } else {
            (void)argument;
            run();
        }
    };
    made.code = const_cast<void*>(static_cast<const void*>(&code));
    return made;
}

void run_rollback(Block& body, Block& undo, Where where);
void run_try_finally(Block& body, Block& cleanup, Where where);
void run_with(Obj manager, Block& body, Where where);
bool run_try_except(Block& body, Block& handler, Where where);
}  // namespace detail

// try: body() / except Exception as e: handler(e). Returns whether an
// exception was caught.
template <class Body, class Handler>
bool catch_exception_as(Body&& body, Handler&& handler, Where where = Where::current()) {
    auto body_block = detail::block(body);
    auto handler_block = detail::block(handler);
    return detail::run_try_except(body_block, handler_block, where);
}

// try: body() / except: undo(); raise
template <class Body, class Undo>
void with_rollback(Body&& body, Undo&& undo, Where where = Where::current()) {
    auto body_block = detail::block(body);
    auto undo_block = detail::block(undo);
    detail::run_rollback(body_block, undo_block, where);
}

// try: body() / finally: cleanup()
template <class Body, class Cleanup>
void with_finally(Body&& body, Cleanup&& cleanup, Where where = Where::current()) {
    auto body_block = detail::block(body);
    auto cleanup_block = detail::block(cleanup);
    detail::run_try_finally(body_block, cleanup_block, where);
}

// with manager as value: body(value)
template <class Body>
void with_context(At manager, Body&& body) {
    auto block = detail::block(body);
    detail::run_with(manager.ptr, block, manager.where);
}

}  // namespace dralvex

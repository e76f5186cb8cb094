// The helper layer every function body is written in: interned names,
// module globals read at each use, calls in Python's order of evaluation,
// imports through the builtins' __import__, names read as text, and the
// Python statements the bodies need (raise, with, try/except Exception,
// try/finally, rollback; the compound ones run as Python).
#pragma once

#include "runtime/refs.hpp"

#include <cstddef>
#include <exception>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

namespace dralvex {

// ---------------------------------------------------------------- names

template <std::size_t N>
struct Text {
    char chars[N];
    consteval Text(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
};

PyObject* intern(const char* text);

// A value made at its first use and kept for the process, with no C++ lock
// held while it is made. A function-local static with a dynamic initialiser
// is made under the C++ runtime's initialisation lock: when the initialiser
// runs Python code that lets the GIL go (an import through a hooked
// __import__, a log write), a second thread reaching the same static waits
// for that lock holding the GIL, and the process hangs. A Lazy is made
// under the GIL instead; when another thread made it meanwhile, the first
// one made is kept. `static Lazy x;` is constant-initialised: no lock.
class Lazy {
public:
    constexpr Lazy() noexcept = default;

    // make() returns a Ref; the value is kept for the process.
    template <class Make>
    PyObject* get(Make&& make) {
        if (value_ == nullptr) {
            Ref made = make();
            if (value_ == nullptr) value_ = made.release();
        }
        return value_;
    }

private:
    PyObject* value_ = nullptr;
};

template <Text T>
inline constinit Lazy interned_name;

// "name"_py is an interned str made on first use and kept for the process.
template <Text T>
PyObject* operator""_py() {
    return interned_name<T>.get([] { return Ref::steal(intern(T.chars)); });
}

// ------------------------------------------------------- the namespace

// Set once the module object exists; functions use it as their globals.
PyObject* module_globals() noexcept;
void set_module_globals(PyObject* globals) noexcept;
void remember_builtins(Where where = Where::current());

// Global name lookup as Python does it: module namespace, then builtins,
// else NameError "name '...' is not defined".
Ref global(PyObject* name, Where where = Where::current());
Ref builtin(PyObject* name, Where where = Where::current());
void set_global(PyObject* name, Obj value, Where where = Where::current());

// ----------------------------------------------------------- constants

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }
Ref integer(long value, Where where = Where::current());

// ---------------------------------------------------------- attributes

Ref attr(Obj object, PyObject* name, Where where = Where::current());
void set_attr(Obj object, PyObject* name, Obj value, Where where = Where::current());

// --------------------------------------------------------------- calls

namespace detail {
template <class... A>
Ref pack(Where where, const A&... items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(A))), where);
    Py_ssize_t index = 0;
    ((Py_INCREF(Obj(items).ptr), PyTuple_SET_ITEM(tuple.get(), index++, Obj(items).ptr)), ...);
    return tuple;
}
}  // namespace detail

template <class... A>
Ref tuple(At first, const A&... rest) {
    return detail::pack(first.where, first.ptr, rest...);
}

Ref call_object(At callable, Obj args, PyObject* kwargs = nullptr);

template <class... A>
Ref call(At callable, const A&... args) {
    return call_object(callable, detail::pack(callable.where, args...));
}

template <class... A>
Ref call_method(At object, PyObject* name, const A&... args) {
    Ref method = attr(object.ptr, name, object.where);
    return call_object(At(method, object.where), detail::pack(object.where, args...));
}

// A module function, looked up in the namespace at each call so a caller
// can replace it.
template <class... A>
Ref call_global(At name, const A&... args) {
    Ref function = global(name.ptr, name.where);
    return call_object(At(function, name.where), detail::pack(name.where, args...));
}

Ref keywords(std::initializer_list<std::pair<PyObject*, Obj>> items, Where where = Where::current());

// `callee(first, second, ...)` evaluated in Python's order: the callee,
// then each argument from left to right, then the call. Write it with
// braces, which sequence their elements: `Ref path = Call{join, a, b};`.
// Plain function-call syntax leaves C++'s argument order unspecified.
struct Call : Ref {
    template <class... A>
    Call(At callee, const A&... args) : Ref(call(callee, args...)) {}
};

// The function `os.path.<name>`, reading the module global `os` now.
Ref os_path_function(PyObject* name, Where where = Where::current());

// `os.path.<name>(args...)`, reading the module global `os` at each call,
// for arguments that are values already; where an argument is computed,
// write Call{os_path_function(name), ...} so that the callee comes first.
template <class... A>
Ref os_path(At name, const A&... args) {
    Ref path = attr(global("os"_py, name.where), "path"_py, name.where);
    return call_method(At(path, name.where), name.ptr, args...);
}

template <class... A>
void print(At first, const A&... rest) {
    call_global(At("print"_py, first.where), first.ptr, rest...);
}

// -------------------------------------------------------------- values

bool truth(Obj object, Where where = Where::current());
bool equals(Obj left, Obj right, Where where = Where::current());   // left == right
bool less(Obj left, Obj right, Where where = Where::current());     // left < right
bool equals_none(Obj object, Where where = Where::current());      // object == None
bool differs_from_none(Obj object, Where where = Where::current()); // object != None
// isinstance(object, cls), given the value of the name `isinstance` read
// as Python reads it (module namespace, then builtins) before the others.
bool is_instance(Obj isinstance, Obj object, Obj cls, Where where = Where::current());
bool contains(Obj container, Obj item, Where where = Where::current());
Ref text(Obj object, Where where = Where::current());               // format(object, "")
Ref concat(std::initializer_list<Obj> parts, Where where = Where::current());   // str parts only
Ref add(Obj left, Obj right, Where where = Where::current());                     // left + right
// object[index], as Python reads it: of a list, PyPy then copies no other
// item into a C object (PyList_GET_ITEM would copy them all).
Ref item(Obj object, Py_ssize_t index, Where where = Where::current());
Ref subtract(Obj left, Obj right, Where where = Where::current());      // left - right
Ref true_divide(Obj left, Obj right, Where where = Where::current());   // left / right
Ref subscript(Obj object, PyObject* key, Where where = Where::current());   // object[key]
// `a, b = value` with Python's messages.
std::pair<Ref, Ref> unpack_pair(Obj value, Where where = Where::current());

// --------------------------------------------------------- names as text

// The UTF-8 of a str; empty, with no exception left, when it holds surrogates.
std::optional<std::string_view> utf8(PyObject* text) noexcept;

// The characters of an exact str that is all ASCII, read in place; empty,
// nothing raised, for anything else.
std::optional<std::string_view> ascii_text(PyObject* text);

bool is_ascii(std::string_view text) noexcept;

// text.lower().endswith(suffix) for an ASCII text, `suffix` as UTF-8:
// str.lower maps only A-Z among ASCII characters, and a suffix that is not
// ASCII ends no ASCII text.
bool ascii_lower_endswith(std::string_view text, std::string_view suffix) noexcept;

// The str of a list joined by NULs into one UTF-8 text and read back name by
// name: on PyPy one C object for all the names, not one per name.
class JoinedNames {
public:
    // Empty, with no exception left, when the list holds anything but str,
    // or a name with a NUL or surrogates.
    static std::optional<JoinedNames> of(Obj names, Where where = Where::current());

    // visit(index, name) for each name in order, until it returns false;
    // whether it went through them all.
    template <class Visit>
    bool each(Visit&& visit) const {
        std::string_view rest = text_;
        for (Py_ssize_t index = 0; index < count_; ++index) {
            const std::size_t end = rest.find('\0');
            if (!visit(index, rest.substr(0, end))) return false;
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        }
        return true;
    }

private:
    Ref joined_;              // holds the UTF-8 that text_ views
    std::string_view text_;
    Py_ssize_t count_ = 0;
};

// -------------------------------------------------------------- raise

// raise exception: `raise(Call{global("OSError"_py), message})` reads the
// class by name as Python does, before the message is made.
[[noreturn]] void raise(Obj exception, Where where = Where::current());

// ------------------------------------------------------------- imports

// `import name` / `from module import name`, through builtins.__import__.
Ref import_module(PyObject* name, Where where = Where::current());
Ref import_from(PyObject* module, PyObject* name, Where where = Where::current());
// `from module import first, second` as one import.
std::pair<Ref, Ref> import_from(PyObject* module, PyObject* first, PyObject* second,
                                Where where = Where::current());

// ---------------------------------------------------------- statements

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

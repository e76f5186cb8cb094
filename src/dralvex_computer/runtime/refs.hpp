// Owned references and the one error type of the native core.
//
// Ownership: a Ref owns one strong reference and releases it when it goes
// out of scope; an Obj or a PyObject* parameter is borrowed for the call.
// No function body calls Py_INCREF or Py_DECREF itself.
//
// Errors: a C-API call that fails leaves a Python exception set. The helper
// layer checks every result in one way, require(): a NULL object or a
// negative status throws PyError, which carries the source location of the
// statement that failed. The function boundary turns it into a NULL return
// plus a traceback entry for that statement. A body raises a Python
// exception of its own with raise(...) (statements.hpp); the layer, having set an
// exception by hand, throws with raise_pending(). Nothing else throws.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <source_location>
#include <type_traits>
#include <utility>

namespace dralvex {

using Where = std::source_location;

// A Python exception is set; `where` is the C++ statement that failed.
// `has_entry`: the exception already carries the running function's own
// traceback entry (it left a compound statement that made it), so the
// function boundary adds none.
struct PyError {
    Where where;
    bool has_entry = false;
};

// The exception just set on the indicator goes on to the caller.
[[noreturn]] inline void raise_pending(Where where = Where::current()) { throw PyError{where}; }

// A C-API status or size: negative means an exception is set.
template <class Status>
    requires std::is_integral_v<Status>
Status require(Status status, Where where = Where::current()) {
    if (status < 0) throw PyError{where};
    return status;
}

// After a call whose NULL result may mean "no more" as well as "failed".
inline void require_no_error(Where where = Where::current()) {
    if (PyErr_Occurred()) throw PyError{where};
}

// Owned (strong) reference. Never holds a reference it did not count.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference from the C API; NULL means an exception is
    // set (the require() of object results).
    static Ref steal(PyObject* object, Where where = Where::current()) {
        if (object == nullptr) throw PyError{where};
        return Ref(object);
    }
    // Counts a new reference to a borrowed object (which must not be NULL).
    static Ref borrow(PyObject* object) noexcept {
        Py_INCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Any object argument: a borrowed pointer or an owned reference.
// A strong reference held for the life of the process (the runtime's
// state, process_state.hpp): the module is never unloaded, so it is never
// let go; `keep` replaces what it held (lets that one go). Not copied:
// there is one of each.
class Lasting {
public:
    constexpr Lasting() noexcept = default;
    Lasting(const Lasting&) = delete;
    Lasting& operator=(const Lasting&) = delete;

    void keep(Ref object) noexcept { Py_XSETREF(object_, object.release()); }
    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

struct Obj {
    PyObject* ptr;
    Obj(PyObject* object) noexcept : ptr(object) {}
    Obj(const Ref& ref) noexcept : ptr(ref.get()) {}
};

// First argument of the variadic helpers: the object plus the caller's line.
struct At {
    PyObject* ptr;
    Where where;
    At(PyObject* object, Where w = Where::current()) noexcept : ptr(object), where(w) {}
    At(const Ref& ref, Where w = Where::current()) noexcept : ptr(ref.get()), where(w) {}
};

// The pending exception, taken off the indicator and put back on request.
//
// PyPy cannot fetch a RecursionError while the stack is still at the limit:
// PyErr_Fetch normalises it, which recurses again, and PyPy aborts the
// process. There, a RecursionError is cleared instead of fetched and a new
// one with the interpreter's own message is put back.
class SavedError {
public:
    SavedError() noexcept {
#ifdef PYPY_VERSION
        if (PyErr_ExceptionMatches(PyExc_RecursionError)) {
            PyErr_Clear();
            type_ = Ref::borrow(PyExc_RecursionError).release();
            value_ = PyUnicode_FromString("maximum recursion depth exceeded");
            if (value_ == nullptr) PyErr_Clear();
            return;
        }
#endif
        PyErr_Fetch(&type_, &value_, &traceback_);
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }
    // Makes `value` an exception instance that carries its traceback.
    void normalize() noexcept {
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        if (traceback_ != nullptr && value_ != nullptr) PyException_SetTraceback(value_, traceback_);
    }
    void restore() noexcept {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }
    // Puts this exception back as the __context__ of the one now pending,
    // as Python does for an exception raised while another is handled.
    void restore_as_context() noexcept {
        if (type_ == nullptr) return;
        normalize();
        SavedError raised;
        raised.normalize();
        if (raised.value_ != nullptr && raised.value_ != value_ && PyExceptionInstance_Check(raised.value_) &&
            value_ != nullptr && PyExceptionInstance_Check(value_)) {
            PyException_SetContext(raised.value_, std::exchange(value_, nullptr));
        }
        raised.restore();
    }
    PyObject* type() const noexcept { return type_ ? type_ : Py_None; }
    PyObject* value() const noexcept { return value_ ? value_ : Py_None; }
    PyObject* traceback() const noexcept { return traceback_ ? traceback_ : Py_None; }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

}  // namespace dralvex

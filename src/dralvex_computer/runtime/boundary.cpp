#include "runtime/boundary.hpp"

#include "runtime/identity.hpp"
#include "runtime/namespace.hpp"
#include "runtime/process_state.hpp"

#include <cstring>
#include <map>
#include <new>
#include <string>
#include <tuple>
#include <frameobject.h>

namespace dralvex {

namespace {

const char* relative_source(const char* file) noexcept {
#ifdef DRALVEX_SOURCE_ROOT
    const std::size_t root = std::strlen(DRALVEX_SOURCE_ROOT);
    if (std::strncmp(file, DRALVEX_SOURCE_ROOT, root) == 0) return file + root;
#endif
    return file;
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
        PyErr_Format(PyExc_SystemError, "unknown C++ exception in %s", module_name());
    }
}


namespace {
// One code object per failing statement, made at its first failure and kept
// for the process: the entries of one statement are all alike, and on PyPy
// a new code object per entry is memory that is never given back. The
// function's name and the file name are texts that live as long as the
// process, kept by address.
PyCodeObject* entry_code(const char* function, const Where& where) noexcept {
    using Key = StatementKey;
    auto& codes = process_state.entry_codes;
    try {
        Key key{function, where.file_name(), static_cast<unsigned>(where.line())};
        auto found = codes.find(key);
        if (found != codes.end()) {
            Py_INCREF(found->second);
            return found->second;
        }
        PyCodeObject* code = PyCode_NewEmpty(entry_file_name(where), function,
                                             static_cast<int>(where.line()));
        if (code == nullptr) return nullptr;
        Py_INCREF(code);
        codes.emplace(std::move(key), code);
        return code;
    } catch (const std::exception&) {
        return nullptr;
    }
}
}  // namespace

const char* entry_file_name(const Where& where) noexcept { return relative_source(where.file_name()); }

struct ThreadCalls {
    int depth = 0;
    const char* running = nullptr;
};

namespace {
thread_local ThreadCalls thread_calls;
}  // namespace

const char* running_function() noexcept { return thread_calls.running; }

RunningFunction::RunningFunction(const char* name) noexcept : calls_(&thread_calls), outer_(calls_->running) {
    ++calls_->depth;
    calls_->running = name;
}

RunningFunction::~RunningFunction() {
    --calls_->depth;
    calls_->running = outer_;
}

int RunningFunction::depth() const noexcept { return calls_->depth; }

void add_traceback(const char* function, const Where& where) noexcept {
#ifdef PYPY_VERSION
    // A RecursionError is still unwinding through a nearly exhausted C
    // stack, where making even a code object can overflow it: no entry.
    if (PyErr_ExceptionMatches(PyExc_RecursionError)) return;
#else
    // CPython loses the entry unless the exception is off the indicator
    // while the code and frame objects are made.
    SavedError pending;
#endif
    // PyPy makes them with the exception pending; taking it off there would
    // copy its whole traceback into C objects that are never freed, and
    // aborts the process at the recursion limit.
    PyObject* globals = module_globals();
    PyObject* scratch = nullptr;
    if (globals == nullptr) globals = scratch = PyDict_New();
    PyCodeObject* code = globals != nullptr ? entry_code(function, where) : nullptr;
    PyFrameObject* frame = nullptr;
    if (code != nullptr) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
#ifndef PYPY_VERSION
    if (frame == nullptr) PyErr_Clear();
    pending.restore();
#endif
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
    Py_XDECREF(scratch);
}

}  // namespace dralvex

// Re-raisers: the one traceback entry of a module function for an exception
// that left one of its compound statements.
#include "runtime/reraisers.hpp"

#include "runtime/boundary.hpp"
#include "runtime/calls.hpp"
#include "runtime/process_state.hpp"
#include "runtime/python_source.hpp"

#include <algorithm>
#include <string>

namespace dralvex {

namespace {

// `raise error` from a Python function named as the running module function,
// whose `raise` stands at the failing C++ line of its file: the exception's
// one entry for the function. It first drops the `drop` entries before it
// (the helper's own, and an entry of this function made by an inner
// statement), and leaves __context__ as it was: raising anew would chain
// the exception to whatever the caller is handling. With `keep`, the
// exception is caught again at once: it is a context whose traceback is
// put right, and the one that goes on is another.
std::string reraiser_source(unsigned line) {
    constexpr unsigned lines_before_raise = 4;
    std::string source(std::max(line, lines_before_raise + 1) - lines_before_raise - 1, '\n');
    source +=
        "def reraise(error, drop, keep):\n"
        "    traceback, context = error.__traceback__, error.__context__\n"
        "    while drop and traceback is not None: traceback, drop = traceback.tb_next, drop - 1\n"
        "    try:\n"
        "        raise error.with_traceback(traceback)\n"
        "    except BaseException:\n"
        "        if not keep: raise\n"
        "    finally:\n"
        "        error.__context__ = context\n";
    return source;
}

}  // namespace

PyObject* reraiser(const char* function, const Where& where) {
    const StatementKey key{function, where.file_name(), static_cast<unsigned>(where.line())};
    if (auto found = process_state.reraisers.find(key); found != process_state.reraisers.end()) return found->second;

    const std::string source = reraiser_source(static_cast<unsigned>(where.line()));
    Ref reraise = defined(run_source(source.c_str(), entry_file_name(where), {}, where), "reraise", where);
    Ref name = Ref::steal(PyUnicode_FromString(function), where);
    Ref replace = attr(attr(reraise, "__code__"_py, where), "replace"_py, where);
#if PY_VERSION_HEX >= 0x030B0000
    Ref names = keywords({{"co_name"_py, name}, {"co_qualname"_py, name}}, where);
#else
    Ref names = keywords({{"co_name"_py, name}}, where);
#endif
    Ref renamed = call_object(At(replace, where), Ref::steal(PyTuple_New(0), where), names.get());
    set_attr(reraise, "__code__"_py, renamed, where);
    // Made while the GIL may have been let go: another thread may have
    // made the same one meanwhile.
    if (auto found = process_state.reraisers.find(key); found != process_state.reraisers.end()) return found->second;
    process_state.reraisers.emplace(key, reraise.get());
    return reraise.release();
}

}  // namespace dralvex

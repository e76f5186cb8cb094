// The boundary between C++ and the interpreter: a C++ failure becomes a
// Python exception plus one traceback entry for the module function it
// left, named after the module function running on this thread.
#pragma once

#include "runtime/refs.hpp"

#include <exception>

namespace dralvex {

// The Python exception for a C++ exception that is not the module's own.
void set_error_from_cpp_exception(std::exception_ptr exception) noexcept;

// ---------------------------------------------------------- tracebacks

// Adds a traceback entry "<function>" at file:line to the pending exception;
// `function` is a text that lives as long as the process.
void add_traceback(const char* function, const Where& where) noexcept;

// The file name traceback entries show for a C++ statement.
const char* entry_file_name(const Where& where) noexcept;

// The traceback name of the module function whose body runs on this thread
// (nullptr outside any): the entry a compound statement's exception gets.
const char* running_function() noexcept;

// A module function's call on this thread, for as long as it runs: its
// traceback name, and how many module calls are nested on the thread.
class RunningFunction {
public:
    explicit RunningFunction(const char* name) noexcept;
    ~RunningFunction();
    RunningFunction(const RunningFunction&) = delete;
    RunningFunction& operator=(const RunningFunction&) = delete;

    int depth() const noexcept;   // 1 for a call made from Python code alone

private:
    struct ThreadCalls* calls_;   // this thread's, reached once per call
    const char* outer_;
};

}  // namespace dralvex

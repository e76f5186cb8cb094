// Descriptions of the module's functions: the single source from which the
// function objects, their docstrings and their argument binding are made.
#pragma once

#include "module/refs.hpp"

#include <array>
#include <cstddef>

namespace dralvex {

inline constexpr std::size_t max_parameters = 6;

// The bound arguments of one call, in parameter order (borrowed).
class Args {
public:
    explicit Args(PyObject* const* values) noexcept : values_(values) {}
    PyObject* operator[](std::size_t index) const noexcept { return values_[index]; }

private:
    PyObject* const* values_;
};

using Body = Ref (*)(Args);

struct FunctionDescription {
    const char* name;
    std::array<const char*, max_parameters> parameters;   // unused slots are nullptr
    const char* text;                                      // docstring after the signature line
    Body body;
    Where defined;

    constexpr std::size_t parameter_count() const noexcept {
        std::size_t count = 0;
        while (count < max_parameters && parameters[count] != nullptr) ++count;
        return count;
    }
};

// Every function, in the order the module creates and binds them.
extern const std::array<FunctionDescription, 35> function_table;

}  // namespace dralvex

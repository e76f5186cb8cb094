// The description of a module function: the single source from which its
// function object, its docstring and its argument binding are made.
#pragma once

#include "runtime/refs.hpp"

#include <array>
#include <cstddef>
#include <utility>

namespace dralvex {

inline constexpr std::size_t max_parameters = 6;

// A body called with the bound arguments in parameter order (borrowed).
using Body = Ref (*)(PyObject* const* arguments);

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

namespace detail {
template <class... Parameters>
constexpr std::size_t arity(Ref (*)(Parameters...)) noexcept {
    return sizeof...(Parameters);
}

template <auto body, std::size_t... index>
Ref call_body(PyObject* const* arguments, std::index_sequence<index...>) {
    return body(arguments[index]...);
}

// The table's entry point of a typed body: it unpacks the bound arguments.
template <auto body>
Ref unpacked(PyObject* const* arguments) {
    return call_body<body>(arguments, std::make_index_sequence<arity(body)>{});
}
}  // namespace detail

// The description of `body` (a function taking one PyObject* per
// parameter), checked at compile time against the parameter list.
template <auto body, std::size_t count>
constexpr FunctionDescription describe(const char* name, const char* const (&parameters)[count], const char* text,
                                       Where defined = Where::current()) {
    static_assert(count == detail::arity(body), "the body's parameters and the table's differ");
    static_assert(count <= max_parameters, "too many parameters");
    std::array<const char*, max_parameters> names{};
    for (std::size_t index = 0; index < count; ++index) names[index] = parameters[index];
    return FunctionDescription{name, names, text, detail::unpacked<body>, defined};
}

// The same for a body without parameters.
template <auto body>
constexpr FunctionDescription describe(const char* name, const char* text, Where defined = Where::current()) {
    static_assert(detail::arity(body) == 0, "the body takes parameters the table does not list");
    return FunctionDescription{name, {}, text, detail::unpacked<body>, defined};
}

}  // namespace dralvex

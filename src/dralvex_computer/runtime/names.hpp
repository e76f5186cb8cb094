// Names the bodies use as Python objects: "name"_py, an interned str made
// at its first use and kept for the process, and Lazy, the one way a value
// is made at first use without a C++ lock held.
#pragma once

#include "runtime/refs.hpp"

#include <cstddef>

namespace dralvex {

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

}  // namespace dralvex

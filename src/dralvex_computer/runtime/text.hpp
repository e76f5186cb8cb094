// Names read as text: the characters of a str in place where that is safe,
// and many names joined into one text (one C object on PyPy, not one each).
#pragma once

#include "runtime/refs.hpp"

#include <cstddef>
#include <optional>
#include <string_view>

namespace dralvex {

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

}  // namespace dralvex

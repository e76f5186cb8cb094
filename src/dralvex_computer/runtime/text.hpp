// Names read as text: the characters of a str in place where that is safe,
// and many names joined into one text (one C object on PyPy, not one each).
#pragma once

#include "runtime/refs.hpp"

#include <algorithm>
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
    // The same from names joined already: `count` names in `text`.
    static std::optional<JoinedNames> of_joined(Ref text, Py_ssize_t count);

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

    // visit(index) for each name equal to `wanted`, in order, until it
    // returns false; whether it went through them all. A search of the
    // whole text for the name, not a visit of every name.
    template <class Visit>
    bool each_equal(std::string_view wanted, Visit&& visit) const {
        if (count_ == 0 || wanted.find('\0') != std::string_view::npos) return true;
        Py_ssize_t index = 0;
        std::size_t counted = 0;   // the NULs before `counted` are in `index`
        for (std::size_t at = text_.find(wanted); at != std::string_view::npos; at = text_.find(wanted, at + 1)) {
            const std::size_t end = at + wanted.size();
            if ((at > 0 && text_[at - 1] != '\0') || (end < text_.size() && text_[end] != '\0')) continue;
            index += std::count(text_.begin() + static_cast<std::ptrdiff_t>(counted),
                                text_.begin() + static_cast<std::ptrdiff_t>(at), '\0');
            counted = at;
            if (!visit(index)) return false;
        }
        return true;
    }

private:
    Ref joined_;              // holds the UTF-8 that text_ views
    std::string_view text_;
    Py_ssize_t count_ = 0;
};

}  // namespace dralvex

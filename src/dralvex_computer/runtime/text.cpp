#include "runtime/text.hpp"

#include "runtime/process_state.hpp"

#include <algorithm>

namespace dralvex {

std::optional<std::string_view> utf8(PyObject* text) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

bool is_ascii(std::string_view text) noexcept {
    for (const char byte : text) {
        if (static_cast<unsigned char>(byte) >= 0x80) return false;
    }
    return true;
}

std::optional<std::string_view> ascii_text(PyObject* text) {
    if (!PyUnicode_CheckExact(text)) return std::nullopt;
#ifdef PYPY_VERSION
    const std::optional<std::string_view> all = utf8(text);
    if (!all || !is_ascii(*all)) return std::nullopt;
    return all;
#else
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
#endif
    if (!PyUnicode_IS_ASCII(text)) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
#endif
}

bool ascii_lower_endswith(std::string_view text, std::string_view suffix) noexcept {
    if (suffix.size() > text.size()) return false;
    const std::string_view tail = text.substr(text.size() - suffix.size());
    for (std::size_t index = 0; index < suffix.size(); ++index) {
        char byte = tail[index];
        if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte - 'A' + 'a');
        if (byte != suffix[index]) return false;
    }
    return true;
}

std::optional<JoinedNames> JoinedNames::of(Obj names, Where where) {
    PyObject* separator = process_state.nul_separator.get([&] { return Ref::steal(PyUnicode_FromStringAndSize("\0", 1), where); });
    const Py_ssize_t count = require(PyObject_Length(names.ptr), where);
    PyObject* text = PyUnicode_Join(separator, names.ptr);
    if (text == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_pending(where);
        PyErr_Clear();   // an item that is no str
        return std::nullopt;
    }
    return of_joined(Ref::steal(text, where), count);
}

std::optional<JoinedNames> JoinedNames::of_joined(Ref text, Py_ssize_t count) {
    JoinedNames joined;
    joined.count_ = count;
    joined.joined_ = std::move(text);
    const std::optional<std::string_view> all = utf8(joined.joined_.get());
    if (!all) return std::nullopt;
    if (count > 0 && std::count(all->begin(), all->end(), '\0') != count - 1) return std::nullopt;
    joined.text_ = *all;
    return joined;
}

}  // namespace dralvex

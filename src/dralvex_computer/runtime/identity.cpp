#include "runtime/identity.hpp"

#include <deque>
#include <string>
#include <utility>

namespace dralvex {

namespace {
std::string qualified = "<module>";
std::string short_name = "<module>";
std::deque<std::string> texts;   // never moved: their c_str() stay valid
}  // namespace

void set_module_name(const char* qualified_name) {
    qualified = qualified_name;
    const std::string::size_type dot = qualified.rfind('.');
    short_name = dot == std::string::npos ? qualified : qualified.substr(dot + 1);
}

const char* module_name() noexcept { return qualified.c_str(); }

const char* module_short_name() noexcept { return short_name.c_str(); }

const char* lasting_text(std::string text) { return texts.emplace_back(std::move(text)).c_str(); }

}  // namespace dralvex

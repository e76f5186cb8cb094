#include "runtime/identity.hpp"

#include "runtime/process_state.hpp"

#include <string>
#include <utility>

namespace dralvex {

void set_module_name(const char* qualified_name) {
    std::string& qualified = process_state.module_name;
    qualified = qualified_name;
    const std::string::size_type dot = qualified.rfind('.');
    process_state.module_short_name = dot == std::string::npos ? qualified : qualified.substr(dot + 1);
}

const char* module_name() noexcept { return process_state.module_name.c_str(); }

const char* module_short_name() noexcept { return process_state.module_short_name.c_str(); }

const char* lasting_text(std::string text) {
    return process_state.lasting_texts.emplace_back(std::move(text)).c_str();
}

}  // namespace dralvex

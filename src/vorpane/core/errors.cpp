#include "vorpane/core/errors.hpp"

namespace vorpane::core {

namespace {
std::string join_errors(const std::vector<std::string>& errors) {
    std::string text = std::to_string(errors.size());
    text.append(errors.size() == 1 ? " validation error" : " validation errors");
    for (const auto& e : errors) {
        text += "\n  " + e;
    }
    return text;
}
} // namespace

ValidationError::ValidationError(std::vector<std::string> errors)
    : std::runtime_error(join_errors(errors)), m_errors(std::move(errors)) {}

} // namespace vorpane::core

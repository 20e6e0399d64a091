#pragma once

#include <array>
#include <string_view>

namespace vorpane::core::version_info {

inline constexpr std::string_view version = "0.9.2";
inline constexpr std::array<int, 3> version_tuple{0, 9, 2};
inline constexpr std::string_view commit_id = "g6c17b8292";
// The User-Agent of every request: "vorpane/<version>".
inline constexpr std::string_view user_agent = "vorpane/0.9.2";

} // namespace vorpane::core::version_info

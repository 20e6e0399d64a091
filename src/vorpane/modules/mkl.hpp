#pragma once

#include "vorpane/engine/mkl.hpp"
#include "vorpane/modules/context.hpp"

#include <optional>
#include <string>

namespace vorpane::modules {

// The steps of provisioning the Math Kernel Library in the target environment, in the order
// `install` takes them; the front end reports between them.

// Whether MKL is there already.
struct MklPresence {
    bool present = false;
    // The environment root, normalised, for the report.
    std::string root;
};

// Looks for MKL in the target environment. Throws what engine::is_mkl_present throws.
MklPresence find_mkl(Context& ctx);

// Installs MKL with pip from the account's package index. Throws what engine::install_mkl
// throws.
void install_mkl(Context& ctx);

// Links the runtime library under the name programs load; std::nullopt when nothing had to be
// linked. Throws what engine::create_mkl_symlinks throws.
std::optional<engine::MklLink> link_mkl(Context& ctx);

} // namespace vorpane::modules

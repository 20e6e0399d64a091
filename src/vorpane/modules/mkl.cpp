#include "vorpane/modules/mkl.hpp"

#include "vorpane/engine/system.hpp"
#include "vorpane/modules/install_flow.hpp"

namespace vorpane::modules {

MklPresence find_mkl(Context& ctx) {
    engine::Runtime rt = runtime(ctx);
    if (!engine::is_mkl_present(rt)) {
        return {};
    }
    return {true, engine::normalized_path_text(rt.target.root())};
}

void install_mkl(Context& ctx) {
    engine::Runtime rt = runtime(ctx);
    engine::install_mkl(rt, index_locator(ctx));
}

std::optional<engine::MklLink> link_mkl(Context& ctx) {
    engine::Runtime rt = runtime(ctx);
    return engine::create_mkl_symlinks(rt);
}

} // namespace vorpane::modules

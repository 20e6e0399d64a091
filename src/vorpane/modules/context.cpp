#include "vorpane/modules/context.hpp"

#include "vorpane/config/config_file.hpp"

namespace vorpane::modules {

Context::Context(core::Output& out_,
                 core::Clock& clock_,
                 util::HttpClient& http_,
                 engine::ProcessRunner& runner_,
                 config::EnvLookup env)
    : out(out_), clock(clock_), http(http_), runner(runner_), m_env(env), m_target(std::move(env)) {
}

const config::VorpaneConfig& Context::config() {
    if (!m_config && !m_config_error) {
        try {
            m_config = config::get_configparser();
        } catch (...) {
            m_config_error = std::current_exception();
        }
    }
    if (m_config_error) {
        std::rethrow_exception(m_config_error);
    }
    return *m_config;
}

config::ResultCache& Context::cache() {
    if (!m_cache) {
        std::filesystem::path dir;
        try {
            dir = config::_get_config_dir();
        } catch (const std::exception&) {
            // No directory to keep answers in: the calls go to the service every time.
        }
        m_cache = std::make_unique<config::ResultCache>(dir, [this] { return clock.now(); });
    }
    return *m_cache;
}

api::ServiceAccess Context::service() {
    return {config().profile, http, cache()};
}

} // namespace vorpane::modules

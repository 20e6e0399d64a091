// The configuration file: TOML text parsed and validated as a VorpaneConfig, the way every
// start of the tool reads it. A record that validates must survive its own serialisation.
#include "vorpane/config/config_file.hpp"
#include "vorpane/core/errors.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"

using namespace vorpane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    records::VorpaneConfig conf;
    try {
        conf = config::parse_config(text, "vorpane.toml");
    } catch (const config::ConfigParseError& e) {
        fuzz::expect(fuzz::is_one_line(e.what()), "parse error message is not one line");
        return 0;
    } catch (const core::ValidationError& e) {
        fuzz::expect(!e.errors().empty(), "validation error lists no field");
        return 0;
    }
    fuzz::expect(records::is_cloud_env(conf.profile.cloud_environment),
                 "accepted a cloud environment outside CLOUD_ENVS");

    std::string stored = config::serialize_config(conf);
    records::VorpaneConfig reread;
    try {
        reread = config::parse_config(stored, "vorpane.toml");
    } catch (const std::exception& e) {
        fuzz::fail(std::string("a valid record does not read back: ") + e.what());
    }
    fuzz::expect(reread == conf, "a valid record reads back changed");
    fuzz::expect(config::serialize_config(reread) == stored, "serialisation is not stable");
    return 0;
}

#pragma once

#include "vorpane/core/errors.hpp"
#include "vorpane/records/records.hpp"

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vorpane::config {

// The name of the configuration file in the configuration directory.
inline constexpr std::string_view CONFIG_FILE_NAME = "vorpane.toml";

// The configuration file cannot be parsed as TOML; what() names the file, line and column and
// gives the parser's reason, never any text of the file (a value may be the secret).
class ConfigParseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The stored configuration holds no valid record (its fields are in errors()).
class InvalidConfigError : public core::ValidationError {
  public:
    using core::ValidationError::ValidationError;
};

// "dev.cloud" for exactly "dev.cloud" or "dev"; "cloud" for anything else, empty included.
std::string derive_cloud_environment(std::string_view cloud_environment);

// The configuration file "vorpane.toml" in the configuration directory; creates the directory
// and an empty file when missing. Throws std::filesystem::filesystem_error.
std::filesystem::path get_config_file();
// The same in the configuration directory `dir` (checked by the caller).
std::filesystem::path get_config_file(const std::filesystem::path& dir);

// The stored configuration, read afresh. Throws core::ValidationError when the file holds no valid
// record (an empty file included), ConfigParseError for invalid TOML,
// std::filesystem::filesystem_error when it cannot be read, and std::runtime_error, without
// waiting, when it is not a regular file (a FIFO, a socket, a device) or is larger than 1 MiB.
records::VorpaneConfig load_config();
// The same from the configuration directory `dir` (checked by the caller).
records::VorpaneConfig load_config(const std::filesystem::path& dir);

// The configuration stored in `file`, checked and bounded like load_config's; creates
// nothing. Throws like load_config.
records::VorpaneConfig read_config(const std::filesystem::path& file);

// `content` (TOML text read from `path`, which only names it in messages) as a VorpaneConfig.
// Throws ConfigParseError for invalid TOML and InvalidConfigError when it holds no valid record.
records::VorpaneConfig parse_config(std::string_view content, const std::filesystem::path& path);

// The TOML text of `conf`, exactly as stored: "[profile]\ntoken_id = \"...\"\n...\n\n[options]\n
// advanced_mode = false\n". With a credential store the profile holds no "token" line but
// credential_store = "NAME" after cloud_environment.
std::string serialize_config(const records::VorpaneConfig& conf);

// Writes `conf` atomically: serialised and re-parsed first, then written to a temporary file in
// the same directory (mode 0600), flushed to disk and renamed over the old file. On any failure
// the old file stays intact. Throws std::system_error / std::runtime_error.
void write_config(const records::VorpaneConfig& conf);

// What remove_config_file found at the configuration file's path.
struct RemovedConfig {
    enum class Kind { nothing, profile, invalid, directory, link };
    Kind kind = Kind::nothing;
    // Why an invalid file could not be used (one line), or where a link points.
    std::string detail;
};

// Removes the configuration file of the directory `dir` (checked by the caller) without
// following a link: a regular file (or a FIFO, a socket) is deleted, after `classify` has told
// from the caller's reading of it what it held (`profile`, `invalid` with its reason, or
// `nothing` when empty); a missing one is `nothing`; a directory or a symbolic link is reported
// and left alone. Throws what `classify` throws, with nothing removed, and
// std::filesystem::filesystem_error when the file cannot be deleted.
RemovedConfig remove_config_file(const std::filesystem::path& dir,
                                 const std::function<RemovedConfig()>& classify);

// Makes `conf` the whole state of the configuration directory, as `init` does: checks `conf`
// (throwing like write_config, with nothing changed), removes the result cache,
// writes `conf` atomically over the old file and only then deletes every other regular file
// directly in the directory except names ending in "bu" or "bak". Whenever it stops, even killed,
// the directory holds the old configuration or the new one, never none, and the new one never sits
// beside answers cached for the old one. Throws std::filesystem::filesystem_error /
// std::runtime_error.
void replace_config(const records::VorpaneConfig& conf);
// The same in the configuration directory `dir` (checked by the caller).
void replace_config(const records::VorpaneConfig& conf, const std::filesystem::path& dir);

} // namespace vorpane::config

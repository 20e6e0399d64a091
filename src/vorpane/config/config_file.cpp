#include "vorpane/config/config_file.hpp"

#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/config/toml_check.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/util/fd.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/text.hpp"
#include "vorpane/util/utf8.hpp"

#include <toml++/toml.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string_view>

namespace vorpane::config {

namespace fs = std::filesystem;

namespace {

constexpr auto npos = std::string_view::npos;

std::error_code last_error() {
    return {errno, std::generic_category()};
}

// Owns a file descriptor; closing errors matter only where the caller checks them explicitly.
using Fd = util::UniqueFd;

// The file is a few hundred bytes; anything far larger is not a configuration file.
constexpr off_t MAX_CONFIG_SIZE = 1 << 20;

// What a file of `mode` is, for the message that refuses to read it.
const char* file_kind(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    return "not a regular file";
}

std::string read_whole_file(const fs::path& path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; the type is checked before reading.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        throw fs::filesystem_error("cannot open configuration file", path, last_error());
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        throw fs::filesystem_error("cannot read configuration file", path, last_error());
    }
    if (S_ISDIR(info.st_mode)) {
        throw fs::filesystem_error("cannot read configuration file", path,
                                   std::make_error_code(std::errc::is_a_directory));
    }
    if (!S_ISREG(info.st_mode)) {
        throw std::runtime_error("cannot read configuration file " +
                                 util::escape_control(path.string()) + ": it is " +
                                 file_kind(info.st_mode) + ", not a regular file");
    }
    if (info.st_size > MAX_CONFIG_SIZE) {
        throw std::runtime_error("cannot read configuration file " +
                                 util::escape_control(path.string()) + ": larger than 1 MiB");
    }
    check_own_state(info, path);
    std::string content;
    char buffer[16384];
    while (content.size() <= static_cast<std::size_t>(MAX_CONFIG_SIZE)) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw fs::filesystem_error("cannot read configuration file", path, last_error());
        }
        if (n == 0) {
            return content;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    throw std::runtime_error("cannot read configuration file " +
                             util::escape_control(path.string()) + ": larger than 1 MiB");
}

void write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(last_error());
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

nlohmann::json to_json(const toml::node& node) {
    if (const auto* table = node.as_table()) {
        nlohmann::json object = nlohmann::json::object();
        for (const auto& [key, value] : *table) {
            object[std::string(key.str())] = to_json(value);
        }
        return object;
    }
    if (const auto* array = node.as_array()) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& value : *array) {
            list.push_back(to_json(value));
        }
        return list;
    }
    if (const auto* text = node.as_string()) {
        return text->get();
    }
    if (const auto* integer = node.as_integer()) {
        return integer->get();
    }
    if (const auto* flag = node.as_boolean()) {
        return flag->get();
    }
    if (const auto* number = node.as_floating_point()) {
        return number->get();
    }
    // Dates and times have no JSON form: keep their TOML text.
    std::ostringstream out;
    node.visit([&out](const auto& value) { out << value; });
    return out.str();
}

// toml++ quotes what it stumbled on ("saw 'x'", "'1234...' is not representable"), and that
// may be part of the secret: only its wording up to the first quote is kept, plus the few fixed
// endings that explain a quoted value.
std::string reason_without_content(std::string_view description) {
    std::string_view kept = description.substr(0, description.find_first_of("'\"`"));
    auto trim = [&kept] {
        while (!kept.empty() && std::string_view(" ,:;").find(kept.back()) != npos) {
            kept.remove_suffix(1);
        }
    };
    trim();
    if (kept.ends_with(" saw")) {
        kept.remove_suffix(4);
        trim();
    }
    std::string reason(kept);
    if (reason.ends_with("expected")) {
        reason.replace(reason.size() - 8, 8, "unexpected character");
    }
    for (std::string_view tail :
         {" is not representable in 64 bits", " could not be interpreted as a value"}) {
        if (description.ends_with(tail) && description.find('\'') < description.size()) {
            reason += ": value" + std::string(tail);
        }
    }
    return util::escape_control(reason.empty() ? "invalid TOML" : reason);
}

// Parse errors carry no document text, only a position and the parser's own wording.
toml::table parse_toml(std::string_view content, const fs::path& path) {
    std::string text = guard_toml_text(content, path);
    try {
        return toml::parse(text, path.string());
    } catch (const toml::parse_error& e) {
        invalid_toml(path, e.source().begin.line, e.source().begin.column,
                     reason_without_content(e.description()));
    }
}

std::string basic_string(std::string_view value) {
    std::string out = "\"";
    for (char c : value) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned char>(c));
                out += escape;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

[[noreturn]] void refuse_write(const fs::path& path, const std::string& reason) {
    throw std::runtime_error("cannot write configuration file " + path.string() + ": " + reason);
}

// Everything that could make the stored text unreadable is found here, before the old file is
// touched. No message quotes a value: the token secret is among them.
void check_serialization(const records::VorpaneConfig& conf,
                         const std::string& text,
                         const fs::path& path) {
    const std::pair<const char*, const std::string*> fields[] = {
        {"profile.token_id", &conf.profile.token_id},
        {"profile.token", &conf.profile.token},
        {"profile.cloud_environment", &conf.profile.cloud_environment}};
    for (const auto& [name, value] : fields) {
        if (!util::is_valid_utf8(*value)) {
            refuse_write(path, std::string(name) + " is not valid UTF-8");
        }
    }
    records::VorpaneConfig reread;
    try {
        reread = records::VorpaneConfig::from_json(to_json(toml::parse(text)));
    } catch (const toml::parse_error& e) {
        refuse_write(path, "the serialised configuration is not valid TOML (line " +
                               std::to_string(e.source().begin.line) + ")");
    } catch (const core::ValidationError& e) {
        std::string reasons;
        for (const auto& error : e.errors()) {
            reasons += (reasons.empty() ? "" : "; ") + error;
        }
        refuse_write(path, reasons);
    }
    if (!(reread == conf)) {
        refuse_write(path, "the serialised configuration does not read back unchanged");
    }
}

// Removes temporary files that a writer killed before its rename left behind (they hold a
// secret). Only old ones: a young one may belong to a writer that is still running.
void remove_stale_temporaries(const fs::path& target) {
    const std::string prefix = "." + target.filename().string() + ".tmp-";
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::minutes(10);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(target.parent_path(), ec)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0 && entry.is_regular_file(ec) &&
            entry.last_write_time(ec) < cutoff) {
            fs::remove(entry.path(), ec);
        }
    }
}

// Replaces `target` by a file holding `text`, so that readers and crashes see either the old
// or the new content, never a mix, and nobody else can read the secret meanwhile.
void replace_file_atomically(const fs::path& target, const std::string& text) {
    fs::path dir = target.parent_path();
    std::string pattern = (dir / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
    int raw = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (raw < 0) {
        throw fs::filesystem_error("cannot create a temporary file beside", target, last_error());
    }
    Fd fd(raw);
    fs::path temp(pattern);
    try {
        if (::fchmod(fd.get(), 0600) != 0) {
            throw fs::filesystem_error("cannot restrict permissions of", temp, last_error());
        }
        try {
            write_all(fd.get(), text);
        } catch (const std::system_error& e) {
            throw fs::filesystem_error("cannot write configuration file", target, e.code());
        }
        if (::fsync(fd.get()) != 0 || !fd.close()) {
            throw fs::filesystem_error("cannot write configuration file", target, last_error());
        }
        if (::rename(temp.c_str(), target.c_str()) != 0) {
            throw fs::filesystem_error("cannot replace configuration file", target, last_error());
        }
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    // Makes the rename itself durable; file systems without directory fsync say EINVAL.
    Fd dir_fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd.get() >= 0 && ::fsync(dir_fd.get()) != 0 && errno != EINVAL && errno != ENOTSUP) {
        throw fs::filesystem_error("cannot flush directory", dir, last_error());
    }
}

// Deletes the regular files directly in `dir` except `keep` and names ending in "bu" or "bak".
void remove_regular_files(const fs::path& dir, const std::string& keep) {
    for (const auto& entry : fs::directory_iterator(dir)) {
        // symlink_status: a link is not followed, so neither it nor its target is removed.
        if (!fs::is_regular_file(entry.symlink_status())) {
            continue;
        }
        std::string name = entry.path().filename().string();
        if (name == keep || name.ends_with("bu") || name.ends_with("bak")) {
            continue;
        }
        fs::remove(entry.path());
    }
}

} // namespace

fs::path get_config_file() {
    return get_config_file(get_config_dir());
}

fs::path get_config_file(const fs::path& dir) {
    fs::path file = dir / CONFIG_FILE_NAME;
    create_private_directories(file.parent_path());
    // O_EXCL: an existing file, or one another process creates meanwhile, is left alone.
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
    } else if (errno != EEXIST) {
        throw fs::filesystem_error("cannot create configuration file", file, last_error());
    }
    return file;
}

std::string derive_cloud_environment(std::string_view cloud_environment) {
    return cloud_environment == "dev.cloud" || cloud_environment == "dev" ? "dev.cloud" : "cloud";
}

records::VorpaneConfig load_config() {
    return load_config(get_config_dir());
}

records::VorpaneConfig load_config(const fs::path& dir) {
    fs::path file = get_config_file(dir);
    remove_stale_temporaries(file);
    return parse_config(read_whole_file(file), file);
}

records::VorpaneConfig read_config(const fs::path& file) {
    return parse_config(read_whole_file(file), file);
}

records::VorpaneConfig parse_config(std::string_view content, const fs::path& path) {
    const auto doc = to_json(parse_toml(content, path));
    try {
        return records::VorpaneConfig::from_json(doc);
    } catch (const core::ValidationError& e) {
        throw InvalidConfigError(e.errors());
    }
}

std::string serialize_config(const records::VorpaneConfig& conf) {
    std::string text = "[profile]\n";
    text += "token_id = " + basic_string(conf.profile.token_id) + "\n";
    if (conf.profile.credential_store.empty()) {
        text += "token = " + basic_string(conf.profile.token) + "\n";
    }
    text += "cloud_environment = " + basic_string(conf.profile.cloud_environment) + "\n";
    if (!conf.profile.credential_store.empty()) {
        text += "credential_store = " + basic_string(conf.profile.credential_store) + "\n";
    }
    text += "\n[options]\n";
    text +=
        std::string("advanced_mode = ") + (conf.options.advanced_mode ? "true" : "false") + "\n";
    return text;
}

namespace {

void write_config_in(const records::VorpaneConfig& conf, const fs::path& dir) {
    fs::path file = get_config_file(dir);
    std::string text = serialize_config(conf);
    check_serialization(conf, text, file);
    // A linked configuration (a dotfiles checkout, say) is updated where it lives, not replaced
    // by a plain file.
    fs::path target = fs::is_symlink(file) ? fs::canonical(file) : file;
    replace_file_atomically(target, text);
}

} // namespace

void write_config(const records::VorpaneConfig& conf) {
    write_config_in(conf, get_config_dir());
}

RemovedConfig remove_config_file(const fs::path& dir,
                                 const std::function<RemovedConfig()>& classify) {
    const fs::path file = dir / CONFIG_FILE_NAME;
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return {};
        }
        throw fs::filesystem_error("cannot remove configuration file", file, last_error());
    }
    if (S_ISLNK(info.st_mode)) {
        std::error_code ec;
        return {RemovedConfig::Kind::link, fs::read_symlink(file, ec).string()};
    }
    if (S_ISDIR(info.st_mode)) {
        return {RemovedConfig::Kind::directory, {}};
    }
    RemovedConfig found = classify();
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
        throw fs::filesystem_error("cannot remove configuration file", file, last_error());
    }
    return found;
}

void replace_config(const records::VorpaneConfig& conf) {
    replace_config(conf, get_config_dir());
}

void replace_config(const records::VorpaneConfig& conf, const fs::path& dir) {
    check_serialization(conf, serialize_config(conf), dir / CONFIG_FILE_NAME);
    // Cached answers go first: killed right after this, the old profile is still there and
    // only has to fetch its answers again. Killed after the rename, the new profile finds no
    // answer that the old credentials fetched.
    drop_result_cache(dir);
    write_config_in(conf, dir);
    remove_regular_files(dir, std::string(CONFIG_FILE_NAME));
}

} // namespace vorpane::config

#include "vorpane/config/config_file.hpp"

#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/util/fd.hpp"
#include "vorpane/util/redact.hpp"

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

// Length of the valid UTF-8 sequence at the start of `s`, or 0 (overlongs, surrogates and
// code points above U+10FFFF are invalid).
std::size_t utf8_sequence_length(std::string_view s) {
    auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    auto is_cont = [&](std::size_t i) { return i < s.size() && (byte(i) & 0xC0) == 0x80; };
    unsigned char b0 = byte(0);
    if (b0 < 0x80) {
        return 1;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        return is_cont(1) ? 2 : 0;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (!is_cont(1) || !is_cont(2)) {
            return 0;
        }
        if ((b0 == 0xE0 && byte(1) < 0xA0) || (b0 == 0xED && byte(1) >= 0xA0)) {
            return 0;
        }
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (!is_cont(1) || !is_cont(2) || !is_cont(3)) {
            return 0;
        }
        if ((b0 == 0xF0 && byte(1) < 0x90) || (b0 == 0xF4 && byte(1) >= 0x90)) {
            return 0;
        }
        return 4;
    }
    return 0;
}

bool is_valid_utf8(std::string_view s) {
    while (!s.empty()) {
        std::size_t n = utf8_sequence_length(s);
        if (n == 0) {
            return false;
        }
        s.remove_prefix(n);
    }
    return true;
}

[[noreturn]] void invalid_toml(const fs::path& path,
                               std::size_t line,
                               std::size_t column,
                               const std::string& description) {
    throw ConfigParseError(util::escape_control(path.string()) + ": invalid TOML at line " +
                           std::to_string(line) + ", column " + std::to_string(column) + ": " +
                           description);
}

// "\uXXXX" or "\UXXXXXXXX" for the valid UTF-8 sequence at the start of `s`, which is
// `length` bytes long.
std::string unicode_escape(std::string_view s, std::size_t length) {
    auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    char32_t cp = byte(0) & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
    for (std::size_t i = 1; i < length; ++i) {
        cp = (cp << 6) | (byte(i) & 0x3F);
    }
    char escape[16];
    std::snprintf(escape, sizeof escape, cp > 0xFFFF ? "\\U%08X" : "\\u%04X",
                  static_cast<unsigned>(cp));
    return escape;
}

// toml++ 3.3 asks whether a character is whitespace through a table that ends in
// __builtin_unreachable for much of the non-ASCII range (U+00A1, say): undefined behaviour on a
// hand-edited file. It asks outside strings and comments, where TOML allows only ASCII, so the
// first non-ASCII character there is reported here; and right after a backslash in a multi-line
// string, where an escape is invalid anyway, and after a line-ending backslash, where the
// character is legal and is handed over as the equivalent \u escape instead. Strings and
// comments are skipped as the parser reads them, and bare values are read as far as it reads
// them. Returns the text to parse.
std::string guard_toml_text(std::string_view content, const fs::path& path) {
    std::string text;
    std::size_t copied = 0;
    std::size_t line = 1;
    std::size_t column = 0;
    // The parser accepts a byte-order mark at the start, as editors on Windows write one.
    std::size_t i = content.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    auto at = [&](std::size_t k) { return k < content.size() ? content[k] : '\0'; };
    auto is_ascii = [&](std::size_t k) { return static_cast<unsigned char>(at(k)) < 0x80; };
    // Moves past content[i], keeping the position in code points.
    auto step = [&] {
        if (content[i] == '\n') {
            ++line;
            column = 0;
        } else if ((static_cast<unsigned char>(content[i]) & 0xC0) != 0x80) {
            ++column;
        }
        ++i;
    };
    auto reject = [&](const char* what) {
        step();
        invalid_toml(path, line, column, what);
    };
    // After a backslash at i-1 in a multi-line basic string.
    auto after_multi_line_backslash = [&] {
        std::size_t j = i;
        bool line_break = false;
        while (j < content.size() && std::string_view(" \t\r\n").find(content[j]) != npos) {
            line_break = line_break || content[j] == '\n';
            ++j;
        }
        if (j == i) {
            if (!is_ascii(i)) {
                reject("invalid escape sequence");
            }
            if (i < content.size()) {
                step();
            }
            return;
        }
        std::size_t length = j < content.size() ? utf8_sequence_length(content.substr(j)) : 0;
        if (is_ascii(j) || length == 0) {
            return;
        }
        if (!line_break) {
            while (i < j) {
                step();
            }
            reject("a line-ending backslash must end its line");
        }
        text.append(content.substr(copied, j - copied));
        text += unicode_escape(content.substr(j), length);
        copied = j + length;
    };
    // Skips a string whose opening delimiter starts at i.
    auto skip_string = [&](char quote) {
        bool multi_line = at(i + 1) == quote && at(i + 2) == quote;
        for (int k = multi_line ? 3 : 1; k > 0; --k) {
            step();
        }
        while (i < content.size()) {
            char c = content[i];
            if (quote == '"' && c == '\\') {
                step();
                if (multi_line) {
                    after_multi_line_backslash();
                } else if (i < content.size()) {
                    step();
                }
                continue;
            }
            if (!multi_line && c == '\n') {
                return;
            }
            if (c == quote && (!multi_line || (at(i + 1) == quote && at(i + 2) == quote))) {
                // A multi-line string may end in up to two quotes of its own before the three.
                int run = 0;
                while (at(i) == quote && run < (multi_line ? 5 : 1)) {
                    step();
                    ++run;
                }
                return;
            }
            step();
        }
    };
    // Where keys and where values are expected: a bare value is read up to a value terminator
    // by the parser, quotes and all, while a bare key stops at the first other character.
    enum class Expect { key, value };
    Expect expect = Expect::key;
    std::string open; // '[' for each open array, '{' for each open inline table
    auto is_key_char = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    };
    while (i < content.size()) {
        char c = content[i];
        if (c == '"' || c == '\'') {
            skip_string(c);
        } else if (c == '#') {
            while (i < content.size() && content[i] != '\n') {
                step();
            }
        } else if (!is_ascii(i)) {
            reject("unexpected non-ASCII character outside a string or comment");
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '.') {
            step();
        } else if (c == '\n') {
            expect = open.empty() ? Expect::key : expect;
            step();
        } else if (c == '=') {
            expect = Expect::value;
            step();
        } else if (c == '[' || c == '{') {
            if (expect == Expect::value) {
                open += c;
                expect = c == '[' ? Expect::value : Expect::key;
            }
            step();
        } else if (c == ']' || c == '}') {
            if (!open.empty()) {
                open.pop_back();
            }
            step();
        } else if (c == ',') {
            expect = !open.empty() && open.back() == '{' ? Expect::key : Expect::value;
            step();
        } else if (expect == Expect::key) {
            while (i < content.size() && is_key_char(content[i])) {
                step();
            }
            if (i < content.size() && content[i] == c) {
                step();
            }
        } else {
            while (i < content.size() && std::string_view(" \t\r\n]},#").find(content[i]) == npos) {
                if (!is_ascii(i)) {
                    reject("unexpected non-ASCII character outside a string or comment");
                }
                step();
            }
        }
    }
    text.append(content.substr(copied));
    return text;
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
void check_serialization(const VorpaneConfig& conf, const std::string& text, const fs::path& path) {
    const std::pair<const char*, const std::string*> fields[] = {
        {"profile.token_id", &conf.profile.token_id},
        {"profile.token", &conf.profile.token},
        {"profile.cloud_environment", &conf.profile.cloud_environment}};
    for (const auto& [name, value] : fields) {
        if (!is_valid_utf8(*value)) {
            refuse_write(path, std::string(name) + " is not valid UTF-8");
        }
    }
    VorpaneConfig reread;
    try {
        reread = VorpaneConfig::from_json(to_json(toml::parse(text)));
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
    return get_config_file(_get_config_dir());
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

VorpaneConfig get_configparser() {
    return get_configparser(_get_config_dir());
}

VorpaneConfig get_configparser(const fs::path& dir) {
    fs::path file = get_config_file(dir);
    remove_stale_temporaries(file);
    return parse_config(read_whole_file(file), file);
}

VorpaneConfig read_config(const fs::path& file) {
    return parse_config(read_whole_file(file), file);
}

VorpaneConfig parse_config(std::string_view content, const fs::path& path) {
    const auto doc = to_json(parse_toml(content, path));
    try {
        return VorpaneConfig::from_json(doc);
    } catch (const core::ValidationError& e) {
        throw InvalidConfigError(e.errors());
    }
}

std::string serialize_config(const VorpaneConfig& conf) {
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

void write_config_in(const VorpaneConfig& conf, const fs::path& dir) {
    fs::path file = get_config_file(dir);
    std::string text = serialize_config(conf);
    check_serialization(conf, text, file);
    // A linked configuration (a dotfiles checkout, say) is updated where it lives, not replaced
    // by a plain file.
    fs::path target = fs::is_symlink(file) ? fs::canonical(file) : file;
    replace_file_atomically(target, text);
}

} // namespace

void write_config_parse_to_file(const VorpaneConfig& conf) {
    write_config_in(conf, _get_config_dir());
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
    const RemovedConfig found = classify();
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
        throw fs::filesystem_error("cannot remove configuration file", file, last_error());
    }
    return found;
}

void replace_config(const VorpaneConfig& conf) {
    replace_config(conf, _get_config_dir());
}

void replace_config(const VorpaneConfig& conf, const fs::path& dir) {
    check_serialization(conf, serialize_config(conf), dir / CONFIG_FILE_NAME);
    // Cached answers go first: killed right after this, the old profile is still there and
    // only has to fetch its answers again. Killed after the rename, the new profile finds no
    // answer that the old credentials fetched.
    drop_result_cache(dir);
    write_config_in(conf, dir);
    remove_regular_files(dir, std::string(CONFIG_FILE_NAME));
}

} // namespace vorpane::config

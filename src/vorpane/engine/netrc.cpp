#include "vorpane/engine/netrc.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/util/fd.hpp"
#include "vorpane/util/signals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace vorpane::engine {

namespace fs = std::filesystem;

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// uv and pip both percent-decode URL credentials before sending them; a "%" that starts no
// escape stays as it is.
std::string percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool writable_unquoted(std::string_view value) {
    if (value.empty() || value.front() == '#') {
        return false;
    }
    return std::none_of(value.begin(), value.end(), [](char ch) {
        auto c = static_cast<unsigned char>(ch);
        return c <= 0x20 || c == 0x7F || c == '"' || c == '\\';
    });
}

} // namespace

IndexAddress split_index_address(std::string_view address) {
    IndexAddress out{std::string(address), "", std::nullopt, ""};
    size_t scheme_end = address.find("://");
    if (scheme_end == std::string_view::npos) {
        return out;
    }
    size_t start = scheme_end + 3;
    size_t end = address.find_first_of("/?#", start);
    std::string_view authority =
        address.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    size_t at = authority.rfind('@');
    std::string_view host_port =
        at == std::string_view::npos ? authority : authority.substr(at + 1);
    bool bracketed = host_port.starts_with('[');
    size_t host_end = bracketed ? host_port.find(']') : host_port.find(':');
    if (bracketed && host_end != std::string_view::npos) {
        ++host_end;
    }
    out.host = lower(host_port.substr(0, host_end));
    if (at == std::string_view::npos) {
        return out;
    }
    std::string_view user_info = authority.substr(0, at);
    size_t colon = user_info.find(':');
    out.login = percent_decode(user_info.substr(0, colon));
    if (colon != std::string_view::npos) {
        out.password = percent_decode(user_info.substr(colon + 1));
    }
    std::string_view rest = end == std::string_view::npos ? "" : address.substr(end);
    out.url = std::string(address.substr(0, start)) + out.host +
              std::string(host_port.substr(std::min(host_end, host_port.size()))) +
              std::string(rest);
    return out;
}

std::string netrc_entry(const IndexAddress& address) {
    const std::string login = address.login.value_or("");
    if (!writable_unquoted(address.host) || !writable_unquoted(login) ||
        (!address.password.empty() && !writable_unquoted(address.password))) {
        throw core::VorpaneException(
            "The package index address from the service holds credentials that cannot be "
            "handed to uv (an empty user, white space, quotes, backslashes or control "
            "characters).");
    }
    std::string entry = "machine " + address.host + " login " + login;
    if (!address.password.empty()) {
        entry += " password " + address.password;
    }
    return entry + "\n";
}

PrivateNetrc::PrivateNetrc(const IndexAddress& address, std::string base) {
    std::string entry = netrc_entry(address);
    if (base.empty() || base.front() != '/') {
        base = "/tmp";
    }
    std::string pattern = (fs::path(base) / "vorpane-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    fs::path file;
    util::UniqueFd fd;
    {
        // The password must not stay behind in the temporary directory, whatever signal ends
        // the run: both paths are registered for the shutdown path as soon as they exist.
        const util::DeferSignals creating;
        if (::mkdtemp(buffer.data()) == nullptr) {
            util::throw_errno(errno, "cannot create a private directory in " + base);
        }
        m_dir = buffer.data();
        m_dir_on_signal.emplace(m_dir, util::RemoveOnSignal::Kind::directory);
        file = m_dir / "netrc";
        fd.reset(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            int code = errno;
            ::rmdir(m_dir.c_str());
            throw std::system_error(code, std::generic_category(),
                                    "cannot create " + file.string());
        }
        m_file = file;
        m_file_on_signal.emplace(m_file, util::RemoveOnSignal::Kind::file);
    }
    int code = util::write_all(fd.get(), entry);
    if (code == 0 && !fd.close()) {
        code = errno;
    }
    if (code != 0) {
        ::unlink(m_file.c_str());
        ::rmdir(m_dir.c_str());
        throw std::system_error(code, std::generic_category(), "cannot write " + file.string());
    }
}

PrivateNetrc::~PrivateNetrc() {
    ::unlink(m_file.c_str());
    ::rmdir(m_dir.c_str());
}

} // namespace vorpane::engine

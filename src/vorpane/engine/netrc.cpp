#include "vorpane/engine/netrc.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/util/fd.hpp"
#include "vorpane/util/libcurl.hpp"
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
    if (address.find("://") == std::string_view::npos) {
        return out;
    }
    // Split the way libcurl reads it: what it cannot read is refused rather than guessed at, and
    // an "@" left in what it took for the path may be part of a password.
    const auto parts = util::split_url(address);
    const std::string_view before_query = address.substr(0, address.find_first_of("?#"));
    if (!parts || (!parts->user && before_query.find('@') != std::string_view::npos)) {
        throw core::VorpaneException(
            "The package index address from the service cannot be read: a password or user "
            "name in it may hold a \"/\", \"?\", \"#\" or \"@\" that is not percent-encoded.");
    }
    out.host = parts->host;
    if (parts->user) {
        out.url = parts->address;
        out.login = parts->user;
        out.password = parts->password.value_or("");
    }
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

#include "vorpane/config/cache.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/util/crypto.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace vorpane::config {

namespace {

constexpr int BUSY_TIMEOUT_MS = 10000;

// Creates the file with mode 0600 before SQLite does, because SQLite would use 0644 and its
// journal copies the database file's mode.
void ensure_private_file(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot open the result cache " + file.string());
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && (info.st_mode & 077) != 0) {
        ::fchmod(fd, 0600);
    }
    ::close(fd);
}

bool is_corruption(const util::SqliteError& error) {
    return error.code() == SQLITE_NOTADB || error.code() == SQLITE_CORRUPT;
}

} // namespace

double wall_clock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

ResultCache::ResultCache(const std::filesystem::path& dir, CacheClock clock)
    : m_file(dir / CACHE_FILE_NAME), m_clock(std::move(clock)) {
    try {
        open();
    } catch (const util::SqliteError& error) {
        if (!is_corruption(error)) {
            throw;
        }
        rebuild();
    }
}

void ResultCache::open() {
    m_db.reset();
    ensure_private_file(m_file);
    auto db = std::make_unique<util::Db>(m_file);
    db->busy_timeout(BUSY_TIMEOUT_MS);
    // The first statement reads the file header, so a damaged file shows up here.
    db->exec("CREATE TABLE IF NOT EXISTS cache ("
             "key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL, expires REAL NOT NULL)");
    m_db = std::move(db);
}

void ResultCache::rebuild() {
    m_db.reset();
    std::error_code ignored;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        std::filesystem::remove(m_file.string() + suffix, ignored);
    }
    open();
}

template <class Op> auto ResultCache::recovering(Op op) -> decltype(op()) {
    try {
        return op();
    } catch (const util::SqliteError& error) {
        if (!is_corruption(error)) {
            throw;
        }
    }
    // Damage found past the header: the store only holds answers that can be fetched again.
    rebuild();
    return op();
}

std::optional<nlohmann::json> ResultCache::lookup(const std::string& key) {
    const double now = m_clock();
    return recovering([&]() -> std::optional<nlohmann::json> {
        util::Stmt select(*m_db, "SELECT value FROM cache WHERE key = :key AND expires > :now");
        select.bind(":key", key);
        select.bind(":now", now);
        if (!select.step()) {
            return std::nullopt;
        }
        nlohmann::json value = nlohmann::json::parse(select.column_text(0), nullptr, false);
        if (value.is_discarded()) {
            // A value this code did not write: drop it so that the next add can replace it.
            util::Stmt drop(*m_db, "DELETE FROM cache WHERE key = :key");
            drop.bind(":key", key);
            drop.step();
            return std::nullopt;
        }
        if (value.is_null()) {
            return std::nullopt;
        }
        return value;
    });
}

bool ResultCache::add_if_absent(const std::string& key,
                                const nlohmann::json& value,
                                int ttl_seconds) {
    const std::string text = value.dump();
    const double now = m_clock();
    return recovering([&]() {
        util::Stmt insert(*m_db,
                          "INSERT INTO cache (key, value, expires) VALUES (:key, :value, :expires) "
                          "ON CONFLICT (key) DO UPDATE SET value = excluded.value, "
                          "expires = excluded.expires WHERE cache.expires <= :now");
        insert.bind(":key", key);
        insert.bind(":value", text);
        insert.bind(":expires", now + ttl_seconds);
        insert.bind(":now", now);
        insert.step();
        return sqlite3_changes(m_db->get()) > 0;
    });
}

ResultCache open_result_cache() {
    return ResultCache(_get_config_dir());
}

std::string cache_key(std::string_view identity, std::string_view args_repr) {
    // The digests of the tool's own cached operations are fixed, so a cache hit need not load
    // libcrypto (loading it costs more than the whole lookup); the tests check them against MD5.
    static constexpr std::pair<std::string_view, std::string_view> known[] = {
        {ACCESS_TOKEN_IDENTITY, "69af430bd661f733d9fd7ee289274600"},
        {ENTITLEMENTS_IDENTITY, "d22c9858ef033f306c9c67d109a09438"},
        {PACKAGES_IDENTITY, "97737ba78f4980b53f62b445d224e2be"},
    };
    for (const auto& [name, digest] : known) {
        if (name == identity) {
            return std::string(digest) + "_" + std::string(args_repr);
        }
    }
    return util::md5_hex(identity) + "_" + std::string(args_repr);
}

nlohmann::json cached_call(ResultCache& cache,
                           std::string_view identity,
                           int ttl_seconds,
                           const std::function<nlohmann::json()>& op) {
    const std::string key = cache_key(identity);
    if (auto stored = cache.lookup(key)) {
        return *std::move(stored);
    }
    nlohmann::json result = op();
    cache.add_if_absent(key, result, ttl_seconds);
    return result;
}

} // namespace vorpane::config

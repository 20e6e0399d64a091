#include "vorpane/config/cache.hpp"

#include "vorpane/config/config_file.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/util/crypto.hpp"
#include "vorpane/util/fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <system_error>
#include <utility>
#include <vector>

namespace vorpane::config {

namespace {

constexpr const char* FILE_SUFFIXES[] = {"", "-journal", "-wal", "-shm"};

// Deeper values are not stored: writing them out recurses once per level.
constexpr std::size_t MAX_STORED_DEPTH = 100;

// After an open that `err` refused: a file of another user's is the reason to report, instead of
// working without the store.
void check_refused(const std::filesystem::path& file, int err) {
    struct stat info {};
    if ((err == EACCES || err == EPERM) && ::lstat(file.c_str(), &info) == 0) {
        check_own_state(info, file);
    }
}

// Creates the file with mode 0600 before SQLite does, because SQLite would use 0644 and its
// journal copies the database file's mode. Anything but a regular file (a FIFO would block
// SQLite's first read) is refused without waiting.
void ensure_private_file(const std::filesystem::path& file) {
    util::UniqueFd fd(::open(
        file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600));
    if (!fd) {
        const int err = errno;
        check_refused(file, err);
        throw std::system_error(err, std::generic_category(), "cannot open the result cache");
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        throw std::system_error(EINVAL, std::generic_category(), "the result cache is not a file");
    }
    check_own_state(info, file);
    if ((info.st_mode & 077) != 0) {
        ::fchmod(fd.get(), 0600);
    }
}

// A stored value, parsed in place (a large one is not copied out of SQLite first); discarded
// when it is not JSON this code wrote.
nlohmann::json parse_stored(std::string_view text) {
    return nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
}

bool nests_deeper_than(const nlohmann::json& value, std::size_t limit) {
    std::vector<std::pair<const nlohmann::json*, std::size_t>> pending = {{&value, 1}};
    while (!pending.empty()) {
        auto [node, depth] = pending.back();
        pending.pop_back();
        if (!node->is_structured()) {
            continue;
        }
        if (depth > limit) {
            return true;
        }
        for (const auto& child : *node) {
            pending.emplace_back(&child, depth + 1);
        }
    }
    return false;
}

// Changes whenever the configuration file is replaced or rewritten; empty when it is missing.
std::string config_identity(const std::filesystem::path& dir) {
    struct stat info {};
    if (::stat((dir / CONFIG_FILE_NAME).c_str(), &info) != 0) {
        return {};
    }
    char text[160];
    std::snprintf(
        text, sizeof text, "%ju:%ju:%jd:%jd.%ld:%jd.%ld", static_cast<std::uintmax_t>(info.st_dev),
        static_cast<std::uintmax_t>(info.st_ino), static_cast<std::intmax_t>(info.st_size),
        static_cast<std::intmax_t>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec,
        static_cast<std::intmax_t>(info.st_ctim.tv_sec), info.st_ctim.tv_nsec);
    return text;
}

// The store whose update lock this thread holds, so that a cached call nested in another's
// operation (the token exchange inside the entitlement request) does not wait for itself.
thread_local const ResultCache* t_locked_store = nullptr;

class LockedStoreScope {
  public:
    explicit LockedStoreScope(const ResultCache& cache) noexcept
        : m_previous(std::exchange(t_locked_store, &cache)) {}
    ~LockedStoreScope() { t_locked_store = m_previous; }
    LockedStoreScope(const LockedStoreScope&) = delete;
    LockedStoreScope& operator=(const LockedStoreScope&) = delete;

  private:
    const ResultCache* m_previous;
};

bool is_corruption(const util::SqliteError& error) {
    return error.code() == SQLITE_NOTADB || error.code() == SQLITE_CORRUPT;
}

} // namespace

double wall_clock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

ResultCache::ResultCache(const std::filesystem::path& dir,
                         CacheClock clock,
                         int busy_timeout_ms,
                         std::chrono::milliseconds lock_wait)
    : m_file(dir / CACHE_FILE_NAME), m_clock(std::move(clock)), m_busy_timeout_ms(busy_timeout_ms),
      m_lock_wait(lock_wait) {
    try {
        try {
            open();
        } catch (const util::SqliteError& error) {
            if (!is_corruption(error)) {
                throw;
            }
            rebuild();
        }
    } catch (const UnsafeStateError&) {
        throw;
    } catch (const std::exception&) {
        // No store: every call goes to the service, as on a first run.
        m_db.reset();
    }
}

ResultCache ResultCache::disabled(CacheClock clock) {
    ResultCache cache;
    cache.m_clock = std::move(clock);
    return cache;
}

std::vector<ResultCache::StoredEntry> ResultCache::peek(const std::filesystem::path& dir) {
    const std::filesystem::path file = dir / CACHE_FILE_NAME;
    std::vector<StoredEntry> entries;
    // The lock too: the next run that takes it would stop there.
    for (const std::filesystem::path& each : {dir / CACHE_LOCK_FILE_NAME, file}) {
        util::UniqueFd fd(::open(each.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (fd && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode)) {
            check_own_state(info, each);
        } else if (each == file) {
            return entries;
        }
    }
    try {
        util::Db db(file, SQLITE_OPEN_READONLY);
        // A store of an older version has no stored-at column yet.
        bool has_stored = false;
        util::Stmt columns(db, "SELECT name FROM pragma_table_info('cache')");
        while (columns.step()) {
            has_stored = has_stored || columns.column_text(0) == "stored";
        }
        util::Stmt rows(db, has_stored ? "SELECT key, expires, stored FROM cache ORDER BY key"
                                       : "SELECT key, expires, 0 FROM cache ORDER BY key");
        while (rows.step()) {
            entries.push_back({rows.column_text(0), rows.column_double(1), rows.column_double(2)});
        }
    } catch (const std::exception&) {
        // A store that cannot be read holds nothing worth reporting.
        entries.clear();
    }
    return entries;
}

void ResultCache::open() {
    m_db.reset();
    ensure_private_file(m_file);
    auto db = std::make_unique<util::Db>(m_file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW);
    db->busy_timeout(m_busy_timeout_ms);
    // The first statement reads the file header, so a damaged file shows up here.
    db->exec("CREATE TABLE IF NOT EXISTS cache ("
             "key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL, expires REAL NOT NULL, "
             "stored REAL NOT NULL DEFAULT 0, keep REAL NOT NULL DEFAULT 0)");
    // Stores of older versions get the columns added; their entries count as stored at no known
    // time and kept only until they expire.
    bool has_stored = false;
    {
        util::Stmt columns(*db, "SELECT name FROM pragma_table_info('cache')");
        while (columns.step()) {
            has_stored = has_stored || columns.column_text(0) == "stored";
        }
    }
    if (!has_stored) {
        db->exec("ALTER TABLE cache ADD COLUMN stored REAL NOT NULL DEFAULT 0");
        db->exec("ALTER TABLE cache ADD COLUMN keep REAL NOT NULL DEFAULT 0");
    }
    m_db = std::move(db);
}

void ResultCache::rebuild() {
    m_db.reset();
    std::error_code ignored;
    for (const char* suffix : FILE_SUFFIXES) {
        std::filesystem::remove(m_file.string() + suffix, ignored);
    }
    open();
}

// Runs `op` on the open store, rebuilding a damaged one once; on any other failure, or without
// a store, returns `op`'s type default-constructed (nothing found, nothing written).
template <class Op> auto ResultCache::recovering(Op op) -> decltype(op()) {
    try {
        if (m_db) {
            try {
                return op();
            } catch (const util::SqliteError& error) {
                if (!is_corruption(error)) {
                    throw;
                }
            }
            // Damage found past the header: the store only holds answers that can be fetched
            // again.
            rebuild();
            return op();
        }
    } catch (const std::exception&) {
        // A missing table, a lock held past the busy time, a disk error: the caller goes to the
        // service instead, and a later call may find the store usable again.
    }
    return {};
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
        nlohmann::json value = parse_stored(select.column_view(0));
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

std::optional<ResultCache::KeptAnswer> ResultCache::lookup_kept(const std::string& key) {
    const double now = m_clock();
    return recovering([&]() -> std::optional<KeptAnswer> {
        util::Stmt select(*m_db, "SELECT value, stored FROM cache WHERE key = :key AND "
                                 "(expires > :now OR keep > :now) AND stored > 0");
        select.bind(":key", key);
        select.bind(":now", now);
        if (!select.step()) {
            return std::nullopt;
        }
        nlohmann::json value = parse_stored(select.column_view(0));
        if (value.is_discarded() || value.is_null()) {
            return std::nullopt;
        }
        return KeptAnswer{std::move(value), select.column_double(1)};
    });
}

bool ResultCache::add_if_absent(const std::string& key,
                                const nlohmann::json& value,
                                int ttl_seconds,
                                int keep_seconds) {
    return write(key, value, ttl_seconds, keep_seconds, false);
}

bool ResultCache::put(const std::string& key,
                      const nlohmann::json& value,
                      int ttl_seconds,
                      int keep_seconds) {
    return write(key, value, ttl_seconds, keep_seconds, true);
}

bool ResultCache::write(const std::string& key,
                        const nlohmann::json& value,
                        int ttl_seconds,
                        int keep_seconds,
                        bool replace) {
    std::string text;
    try {
        if (!m_db || nests_deeper_than(value, MAX_STORED_DEPTH)) {
            return false;
        }
        text = value.dump();
    } catch (const nlohmann::json::exception&) {
        return false; // strings that are not UTF-8
    }
    const double now = m_clock();
    return recovering([&]() {
        // Answers past both their expiry and their keep time serve no run any more.
        util::Stmt prune(*m_db, "DELETE FROM cache WHERE expires <= :now AND keep <= :now");
        prune.bind(":now", now);
        prune.step();
        util::Stmt insert(*m_db, replace
                                     ? "INSERT INTO cache (key, value, expires, stored, keep) "
                                       "VALUES (:key, :value, :expires, :now, :keep) "
                                       "ON CONFLICT (key) DO UPDATE SET value = excluded.value, "
                                       "expires = excluded.expires, stored = excluded.stored, "
                                       "keep = excluded.keep"
                                     : "INSERT INTO cache (key, value, expires, stored, keep) "
                                       "VALUES (:key, :value, :expires, :now, :keep) "
                                       "ON CONFLICT (key) DO UPDATE SET value = excluded.value, "
                                       "expires = excluded.expires, stored = excluded.stored, "
                                       "keep = excluded.keep WHERE cache.expires <= :now");
        insert.bind(":key", key);
        // `text` outlives the statement, so SQLite need not copy a large value once more.
        insert.bind_borrowed(":value", text);
        insert.bind(":expires", now + ttl_seconds);
        insert.bind(":now", now);
        insert.bind(":keep", now + keep_seconds);
        insert.step();
        return sqlite3_changes(m_db->get()) > 0;
    });
}

void ResultCache::forget(const std::string& key, const nlohmann::json& value) {
    std::string text;
    try {
        text = value.dump();
    } catch (const nlohmann::json::exception&) {
        return; // never stored: add_if_absent refuses what cannot be written out
    }
    recovering([&]() {
        util::Stmt drop(*m_db, "DELETE FROM cache WHERE key = :key AND value = :value");
        drop.bind(":key", key);
        drop.bind(":value", text);
        drop.step();
        return true;
    });
}

std::optional<util::FileLock> ResultCache::lock_updates() {
    if (!m_db) {
        // Nothing a waiting run could find afterwards: no reason to make it wait.
        return std::nullopt;
    }
    const std::filesystem::path file = m_file.parent_path() / CACHE_LOCK_FILE_NAME;
    auto lock = util::FileLock::acquire(file, m_lock_wait);
    // Checked on the held descriptor; without one, a file of another user's is still reported.
    struct stat info {};
    if (lock ? ::fstat(lock->descriptor(), &info) == 0 : ::lstat(file.c_str(), &info) == 0) {
        check_own_state(info, file);
    }
    return lock;
}

void drop_result_cache(const std::filesystem::path& dir) {
    for (const char* suffix : FILE_SUFFIXES) {
        const std::filesystem::path file = dir / (std::string(CACHE_FILE_NAME) + suffix);
        // unlink, not remove: a directory of that name holds no answers and stays.
        if (::unlink(file.c_str()) != 0 && errno != ENOENT && errno != EISDIR) {
            throw std::filesystem::filesystem_error("cannot remove the result cache", file,
                                                    {errno, std::generic_category()});
        }
    }
}

std::string cache_key(std::string_view identity, std::string_view args_repr) {
    return util::md5_hex(identity) + "_" + std::string(args_repr);
}

std::string cache_key(const CachedOperation& op, std::string_view args_repr) {
    // Loading libcrypto for the digest costs more than the whole lookup.
    if (!op.digest.empty()) {
        return std::string(op.digest) + "_" + std::string(args_repr);
    }
    return cache_key(op.identity, args_repr);
}

int keep_seconds(const CachedOperation& op) {
    return op.serves_offline ? OFFLINE_KEEP_SECONDS : 0;
}

nlohmann::json cached_call(ResultCache& cache,
                           const CachedOperation& op,
                           const std::function<nlohmann::json()>& fetch,
                           std::string_view args_repr) {
    if (!cache.enabled()) {
        return fetch();
    }
    const std::string key = cache_key(op, args_repr);
    if (auto stored = cache.lookup(key)) {
        return *std::move(stored);
    }
    std::optional<util::FileLock> lock;
    std::optional<LockedStoreScope> locked;
    if (t_locked_store != &cache) {
        lock = cache.lock_updates();
        if (lock) {
            locked.emplace(cache);
        }
        // Whoever held the lock may have stored the answer meanwhile.
        if (auto stored = cache.lookup(key)) {
            return *std::move(stored);
        }
    }
    const std::filesystem::path dir = cache.file().parent_path();
    const std::string profile = config_identity(dir);
    nlohmann::json result = fetch();
    if (config_identity(dir) == profile) {
        cache.add_if_absent(key, result, op.ttl, keep_seconds(op));
    }
    return result;
}

} // namespace vorpane::config

#pragma once

#include "vorpane/records/records.hpp"
#include "vorpane/util/file_lock.hpp"
#include "vorpane/util/sqlite.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorpane::config {

// The store's database file, directly in the configuration directory so that
// replace_config removes it. It uses a rollback journal, so no other file outlives a write.
inline constexpr std::string_view CACHE_FILE_NAME = "cache.sqlite3";

// The lock file that concurrent runs take around a fetch (see cached_call), beside the store. It
// may be deleted at any time (replace_config does): the next run makes a new one.
inline constexpr std::string_view CACHE_LOCK_FILE_NAME = "cache.lock";

// The longest wait for that lock: the time budget of a service request (all its attempts). A holder
// slower than that is not waited for.
inline constexpr std::chrono::seconds CACHE_LOCK_WAIT{120};

// Time to live of an entry when the caller names none.
inline constexpr int DEFAULT_CACHE_TTL = 300;

// How long an answer that may serve offline runs stays in the store after it was stored,
// whatever its time to live: 30 days.
inline constexpr int OFFLINE_KEEP_SECONDS = 30 * 24 * 3600;

// One cached operation, described next to the code that calls it. Its identity is the dotted
// path of the operation (its module, ".", its name); the MD5 digest of the identity names the
// entry, so changing an identity orphans the entries that older runs stored.
struct CachedOperation {
    std::string_view identity;
    // The MD5 digest of `identity` in hex, fixed in the source so that a cache hit need not load
    // libcrypto; empty to have it computed. The tests check the fixed ones.
    std::string_view digest;
    // Seconds an answer serves online runs.
    int ttl = DEFAULT_CACHE_TTL;
    // Whether the last answer is kept OFFLINE_KEEP_SECONDS to serve offline runs; otherwise it is
    // dropped once expired.
    bool serves_offline = false;
    // What the answer is, for messages: "entitlements", "package list"...
    std::string_view what;
};

// Seconds since the epoch, as the cache measures expiry.
using CacheClock = std::function<double()>;
// The system's wall clock as a CacheClock.
double wall_clock();

// Expiring key-value store of JSON values, shared safely by several processes: each lookup and
// each add is one atomic statement, and a connection waits up to 10 seconds for another's lock.
// A file that is not a valid database is deleted and rebuilt without notice. The store only
// helps: when it cannot be opened, read or written (a read-only directory, a file replaced
// meanwhile, a lock held too long, a disk error), calls act as if it were empty and never throw.
// The one exception is a store or lock file of another user's: that throws UnsafeStateError.
class ResultCache {
  public:
    // Opens or creates CACHE_FILE_NAME in `dir` with mode 0600; without a usable store (no
    // directory, no permission, not a regular file) the object works as an empty store. Throws
    // UnsafeStateError when the file belongs to another user.
    explicit ResultCache(const std::filesystem::path& dir,
                         CacheClock clock = wall_clock,
                         int busy_timeout_ms = 10000,
                         std::chrono::milliseconds lock_wait = CACHE_LOCK_WAIT);

    // A store that keeps nothing: every lookup misses, nothing is written, no lock is taken.
    static ResultCache disabled(CacheClock clock = wall_clock);
    // False for disabled().
    [[nodiscard]] bool enabled() const noexcept { return !m_file.empty(); }

    // One entry as it is stored.
    struct StoredEntry {
        std::string key;
        // Seconds since the epoch.
        double expires = 0;
        // When it was stored, in seconds since the epoch; 0 for entries of older versions.
        double stored = 0;
    };
    // The entries of the store in `dir`, by key, read without creating or changing anything;
    // empty when there is no readable store. Throws UnsafeStateError when the store or its lock
    // file belongs to another user.
    static std::vector<StoredEntry> peek(const std::filesystem::path& dir);

    // The value stored under `key`, if its entry is live and the value is not null; std::nullopt
    // also when the store cannot be read.
    std::optional<nlohmann::json> lookup(const std::string& key);

    // Stores `value` under `key`, expiring `ttl_seconds` from now, unless a live entry (even a
    // null one) is there; an expired entry is replaced. Returns whether this call wrote: false
    // also when the store cannot be written or `value` cannot be stored (not serialisable, or
    // nested more than 100 levels deep).
    // Every write also drops the entries that are both expired and past their keep time.
    // `keep_seconds` (0: until expiry) is how long after now the entry stays for lookup_kept.
    bool add_if_absent(const std::string& key,
                       const nlohmann::json& value,
                       int ttl_seconds,
                       int keep_seconds = 0);

    // Stores `value` under `key` like add_if_absent, but replaces a live entry too.
    bool
    put(const std::string& key, const nlohmann::json& value, int ttl_seconds, int keep_seconds);

    // A non-null value stored under `key` that is still kept, whatever its expiry, with the time
    // it was stored; for offline runs. Entries stored without a keep time (the access token) are
    // kept only until they expire.
    struct KeptAnswer {
        nlohmann::json value;
        double stored_at = 0;
    };
    std::optional<KeptAnswer> lookup_kept(const std::string& key);

    // Removes the entry under `key` if it still holds `value` (a value another run stored
    // meanwhile stays). Never throws.
    void forget(const std::string& key, const nlohmann::json& value);

    // Takes CACHE_LOCK_FILE_NAME beside the store (created with mode 0600), waiting at most the
    // lock wait; std::nullopt without a usable store, when the lock was not had in time, or when
    // the lock file cannot be created. Throws UnsafeStateError only, when the lock file belongs
    // to another user.
    std::optional<util::FileLock> lock_updates();

    // The database file.
    [[nodiscard]] const std::filesystem::path& file() const noexcept { return m_file; }

  private:
    ResultCache() = default;
    void open();
    void rebuild();
    template <class Op> auto recovering(Op op) -> decltype(op());
    bool write(const std::string& key,
               const nlohmann::json& value,
               int ttl_seconds,
               int keep_seconds,
               bool replace);

    std::filesystem::path m_file;
    CacheClock m_clock;
    int m_busy_timeout_ms = 0;
    std::chrono::milliseconds m_lock_wait{0};
    std::unique_ptr<util::Db> m_db;
};

// Deletes the store's files in `dir` (missing ones are fine), so that no answer in it is served
// again; a connection that still has the old file open writes only into that file. Throws
// std::filesystem::filesystem_error when one cannot be deleted.
void drop_result_cache(const std::filesystem::path& dir);

// The entry key of a call of the operation `identity`: the MD5 digest of `identity` in hex,
// "_", then the text form of the call's arguments ("(){}" for a call without any).
std::string cache_key(std::string_view identity, std::string_view args_repr = "(){}");
// The same for `op`, with its fixed digest when it has one.
std::string cache_key(const CachedOperation& op, std::string_view args_repr = "(){}");

// Calls `fetch` unless a live non-null result of `op` (called with `args_repr`) is stored,
// then adds the result (null included) for `op.ttl` seconds (kept OFFLINE_KEEP_SECONDS when `op`
// serves offline) if no live entry exists meanwhile and returns it. When nothing is stored, the
// second look-up, `fetch` and the add run under ResultCache::lock_updates, so that concurrent runs
// make one call and share its result; without the lock (none to be had in time, no lock file) the
// call goes ahead unlocked. Calls nested in `fetch` on the same store and thread run under the lock
// already held. A result is not added when the configuration file beside the store was replaced or
// changed while `fetch` ran: it may have been fetched with the credentials `init` just replaced.
// Exceptions of `fetch` pass through and store nothing; failures of the store never throw, except
// UnsafeStateError.
nlohmann::json cached_call(ResultCache& cache,
                           const CachedOperation& op,
                           const std::function<nlohmann::json()>& fetch,
                           std::string_view args_repr = "(){}");

// Seconds `op`'s answers are kept for lookup_kept: OFFLINE_KEEP_SECONDS or 0.
int keep_seconds(const CachedOperation& op);

} // namespace vorpane::config

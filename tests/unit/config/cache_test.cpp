#include "vorpane/api/package_index.hpp"
#include "vorpane/api/token.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/modules/examples.hpp"
#include "vorpane/util/crypto.hpp"
#include "vorpane/util/sqlite.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <thread>

#include "support/temp_home.hpp"

namespace vorpane::config {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Operations of the shapes the tool caches: one that never serves offline, two that do.
constexpr CachedOperation ACCESS_TOKEN{"vorpane.api._get_access_token",
                                       "69af430bd661f733d9fd7ee289274600", 1800, false, "token"};
constexpr CachedOperation ENTITLEMENTS{"vorpane.modules.get_user_entitlements", "", 30, true,
                                       "entitlements"};
constexpr CachedOperation PACKAGES{"vorpane.modules.get_examples_packages",
                                   "966a5498b802cec31507ca1448c3e4b3", 300, true, "package list"};

class ResultCacheTest : public ::testing::Test {
  protected:
    ResultCache open() {
        return ResultCache(m_dir.path(), [this] { return m_now; });
    }
    [[nodiscard]] fs::path file() const { return m_dir.path() / "cache.sqlite3"; }
    json call(ResultCache& cache, json result) {
        return cached_call(cache, ENTITLEMENTS, [&] {
            ++m_calls;
            return result;
        });
    }

    test::TempDir m_dir;
    double m_now = 1'700'000'000.0;
    int m_calls = 0;
};

// The store only helps: whatever keeps it from working, calls go to the operation and succeed.
TEST_F(ResultCacheTest, UnusableStoreActsAsAnEmptyOneAndNeverThrows) {
    const std::vector<std::pair<const char*, std::function<fs::path()>>> faults = {
        {"missing directory", [&] { return m_dir.path() / "nope"; }},
        {"directory in its place",
         [&] {
             fs::create_directories(file());
             return m_dir.path();
         }},
        {"FIFO in its place",
         [&] {
             ::mkfifo(file().c_str(), 0600);
             return m_dir.path();
         }},
        {"symbolic link in its place",
         [&] {
             fs::create_directories(m_dir.path() / "real");
             ResultCache(m_dir.path() / "real").add_if_absent("k", 1, 60);
             fs::create_symlink(m_dir.path() / "real" / "cache.sqlite3", file());
             return m_dir.path();
         }},
    };
    for (const auto& [what, fault] : faults) {
        fs::remove_all(m_dir.path());
        fs::create_directories(m_dir.path());
        ResultCache cache(fault(), [this] { return m_now; });
        EXPECT_FALSE(cache.add_if_absent("k", 1, 60)) << what;
        EXPECT_EQ(cache.lookup("k"), std::nullopt) << what;
        m_calls = 0;
        EXPECT_EQ(call(cache, 7), json(7)) << what;
        EXPECT_EQ(call(cache, 8), json(8)) << what;
        EXPECT_EQ(m_calls, 2) << what;
    }
    // The table removed under an open connection; a lock held past the busy time.
    fs::remove_all(m_dir.path());
    fs::create_directories(m_dir.path());
    ResultCache cache(
        m_dir.path(), [this] { return m_now; }, 50);
    ASSERT_TRUE(cache.add_if_absent("k", 1, 60));
    util::Db other(file());
    other.exec("BEGIN EXCLUSIVE");
    EXPECT_EQ(cache.lookup("k"), std::nullopt);
    EXPECT_FALSE(cache.add_if_absent("j", 1, 60));
    other.exec("DROP TABLE cache; COMMIT");
    EXPECT_EQ(cache.lookup("k"), std::nullopt);
    EXPECT_FALSE(cache.add_if_absent("k", 1, 60));
    // Values that cannot be written out are returned but not kept.
    json deep = json::array();
    for (int i = 0; i < 200; ++i) {
        deep = json::array({std::move(deep)});
    }
    for (const json& unstorable : {deep, json("\xff\xfe")}) {
        EXPECT_FALSE(ResultCache(m_dir.path() / "fresh").add_if_absent("v", unstorable, 60));
    }
}

TEST_F(ResultCacheTest, FileIsPrivateEvenWhenItExistedAndNoJournalLingers) {
    test::write_file(file(), "");
    fs::permissions(file(), fs::perms(0644));
    ResultCache cache = open();
    cache.add_if_absent("k", 1, 60);
    EXPECT_EQ(cache.file(), file());
    EXPECT_EQ(test::perms_of(file()), fs::perms(0600));
    EXPECT_EQ(test::names_in(m_dir.path()), std::set<std::string>{"cache.sqlite3"}); // no journal
}

TEST_F(ResultCacheTest, DamagedFileIsRebuiltSilently) {
    const std::vector<std::pair<const char*, std::function<void()>>> damages = {
        {"garbage", [&] { test::write_file(file(), std::string(5000, '\x7f')); }},
        {"pages after the header scribbled over",
         [&] {
             std::string bytes = test::read_file(file());
             std::fill(bytes.begin() + 4096, bytes.end(), static_cast<char>(0xa5));
             test::write_file(file(), bytes);
         }},
    };
    for (const auto& [what, damage] : damages) {
        fs::remove(file());
        {
            ResultCache cache = open();
            for (int i = 0; i < 200; ++i) {
                cache.add_if_absent("key" + std::to_string(i), std::string(100, 'v'), 60);
            }
        }
        ASSERT_GT(fs::file_size(file()), 3 * 4096U);
        damage();
        ResultCache cache = open();
        EXPECT_NO_THROW(cache.lookup("key7")) << what;
        EXPECT_TRUE(cache.add_if_absent("fresh", 3, 60)) << what;
        EXPECT_EQ(cache.lookup("fresh"), json(3)) << what;
    }
}

TEST_F(ResultCacheTest, CachedCallIsServedFromTheStoreWithinItsTimeToLive) {
    // Keys are the digest of the operation's identity followed by its argument text.
    EXPECT_EQ(cache_key(ACCESS_TOKEN), "69af430bd661f733d9fd7ee289274600_(){}");
    EXPECT_NE(cache_key(PACKAGES, "('a',){}"), cache_key(PACKAGES));
    ResultCache cache = open();
    EXPECT_EQ(call(cache, json::array({1})), json::array({1}));
    m_now += 10;
    EXPECT_EQ(call(cache, json::array({2})), json::array({1}));
    m_now += 21;
    EXPECT_EQ(call(cache, json::array({3})), json::array({3}));
    EXPECT_EQ(m_calls, 2);
    EXPECT_EQ(cache.lookup(cache_key(ENTITLEMENTS)), json::array({3}));
    // A live entry stays until its time to live has passed, to the tenth of a second.
    EXPECT_TRUE(cache.add_if_absent("k", "first", 30));
    m_now += 29.9;
    EXPECT_FALSE(cache.add_if_absent("k", "second", 30));
    EXPECT_EQ(cache.lookup("k"), json("first"));
    m_now += 0.1;
    EXPECT_EQ(cache.lookup("k"), std::nullopt);
}

// A stored null keeping later answers out is checked through the token exchange (request tests).
TEST_F(ResultCacheTest, FailuresAndAnswersOfReplacedCredentialsStoreNothing) {
    ResultCache cache = open();
    EXPECT_THROW(cached_call(cache, PACKAGES, []() -> json { throw std::runtime_error("down"); }),
                 std::runtime_error);
    EXPECT_TRUE(cache.add_if_absent(cache_key(PACKAGES), "x", 1));

    // A configuration file replaced while the operation ran (by `init`): the answer may belong
    // to the old credentials, so it is returned but not kept.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(cached_call(cache, ACCESS_TOKEN,
                              [&] {
                                  const fs::path next = m_dir.path() / "next.toml";
                                  test::write_file(next, std::to_string(i));
                                  fs::rename(next, m_dir.path() / "vorpane.toml");
                                  return json("old-token");
                              }),
                  json("old-token"));
    }
    EXPECT_EQ(cache.lookup(cache_key(ACCESS_TOKEN)), std::nullopt);
    EXPECT_EQ(call(cache, "kept"), json("kept"));
    EXPECT_EQ(cache.lookup(cache_key(ENTITLEMENTS)), json("kept"));
}

// Concurrent runs fetch once: the store's lock file is held around look-up, call and add.
TEST_F(ResultCacheTest, CachedCallWaitsForTheLockHolderOrGoesAheadWithoutIt) {
    using std::chrono::milliseconds;
    const fs::path lock_file = m_dir.path() / "cache.lock";
    const auto cache_waiting = [&](milliseconds wait) {
        return ResultCache(
            m_dir.path(), [this] { return m_now; }, 10000, wait);
    };
    {
        // Another run holds the lock while it fetches, then stores and lets go: the waiting
        // call takes that answer instead of fetching its own.
        ResultCache cache = cache_waiting(milliseconds(20000));
        auto held = util::FileLock::acquire(lock_file, milliseconds(0));
        ASSERT_TRUE(held);
        EXPECT_EQ(fs::status(lock_file).permissions() & fs::perms::all, fs::perms(0600));
        std::jthread other([&] {
            std::this_thread::sleep_for(milliseconds(100));
            ResultCache(m_dir.path(), [this] {
                return m_now;
            }).add_if_absent(cache_key(ENTITLEMENTS), "theirs", ENTITLEMENTS.ttl);
            held.reset();
        });
        EXPECT_EQ(call(cache, "mine"), json("theirs"));
        EXPECT_EQ(m_calls, 0);
    }
    {
        // A holder that keeps the lock past the wait: the call goes ahead without it.
        m_now += 100;
        ResultCache cache = cache_waiting(milliseconds(300));
        auto held = util::FileLock::acquire(lock_file, milliseconds(0));
        ASSERT_TRUE(held);
        EXPECT_EQ(call(cache, "mine"), json("mine"));
        EXPECT_EQ(m_calls, 1);
        // Deleted under its holder (init cleans the directory): the next run makes a new one.
        fs::remove(lock_file);
        EXPECT_TRUE(util::FileLock::acquire(lock_file, milliseconds(0)));
        EXPECT_TRUE(fs::is_regular_file(lock_file));
    }
    // Calls nested in the operation (the token inside the entitlement request) do not wait for
    // the lock their caller holds (a wait would outlast the test's time limit); a lock file that
    // cannot be made is no reason to wait either.
    for (const bool lock_file_usable : {true, false}) {
        fs::remove(lock_file);
        if (!lock_file_usable) {
            fs::create_directory(lock_file);
        }
        m_now += 2 * ACCESS_TOKEN.ttl;
        ResultCache cache = cache_waiting(milliseconds(3600000));
        const json result = cached_call(cache, ENTITLEMENTS, [&] {
            return cached_call(cache, ACCESS_TOKEN, [] { return json("token"); });
        });
        EXPECT_EQ(result, json("token")) << lock_file_usable;
        EXPECT_EQ(cache.lookup(cache_key(ACCESS_TOKEN)), json("token"));
        EXPECT_EQ(cache.lookup(cache_key(ENTITLEMENTS)), json("token"));
    }
}

// Answers that serve offline runs outlive their expiry by 30 days from storing; others do not.
TEST_F(ResultCacheTest, KeptAnswersServeOfflineFor30DaysAndExpiredTokensAreDropped) {
    // The tool's operations name their entries by the MD5 digest fixed in their descriptors.
    for (const CachedOperation* op :
         {&api::ACCESS_TOKEN_ANSWER, &api::PACKAGE_INDEX_ANSWER, &modules::ENTITLEMENTS_ANSWER,
          &modules::PACKAGE_LIST_ANSWER}) {
        EXPECT_EQ(op->digest, util::md5_hex(op->identity)) << op->identity;
    }
    ResultCache cache = open();
    const double stored = m_now;
    EXPECT_EQ(call(cache, "list"), json("list"));
    EXPECT_EQ(cached_call(cache, ACCESS_TOKEN, [] { return json("token"); }), json("token"));
    EXPECT_TRUE(cache.put("index", "old", 0, OFFLINE_KEEP_SECONDS));
    EXPECT_TRUE(cache.put("index", "new", 0, OFFLINE_KEEP_SECONDS)); // replaced, not added
    const struct {
        double age;
        bool live, kept, token_kept;
    } rows[] = {{10, true, true, true},
                {1801, false, true, false},
                {29.9 * 86400, false, true, false},
                {30 * 86400, false, false, false}};
    for (const auto& row : rows) {
        m_now = stored + row.age;
        EXPECT_EQ(cache.lookup(cache_key(ENTITLEMENTS)).has_value(), row.live) << row.age;
        const auto kept = cache.lookup_kept(cache_key(ENTITLEMENTS));
        EXPECT_EQ(kept.has_value(), row.kept) << row.age;
        if (kept) {
            EXPECT_EQ(kept->value, json("list"));
            EXPECT_EQ(kept->stored_at, stored);
            EXPECT_EQ(cache.lookup_kept("index")->value, json("new"));
        }
        EXPECT_EQ(cache.lookup_kept(cache_key(ACCESS_TOKEN)).has_value(), row.token_kept);
    }
    // A write prunes what is past both expiry and keep time: the token first of all.
    EXPECT_TRUE(cache.add_if_absent("other", 1, 60));
    EXPECT_EQ(ResultCache::peek(m_dir.path()).size(), 1U);
}

// A store written before the stored-at time existed gains it; its entries serve online runs only.
TEST_F(ResultCacheTest, OlderStoresGainTheStoredTime) {
    {
        util::Db db(file(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        db.exec("CREATE TABLE cache (key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL, "
                "expires REAL NOT NULL)");
        db.exec("INSERT INTO cache VALUES ('k', '\"v\"', " + std::to_string(m_now + 60) + ")");
    }
    ResultCache cache = open();
    EXPECT_EQ(cache.lookup("k"), json("v"));
    EXPECT_EQ(cache.lookup_kept("k"), std::nullopt);
    EXPECT_EQ(ResultCache::peek(m_dir.path()).at(0).stored, 0);
    EXPECT_TRUE(cache.put("k", "w", 1, OFFLINE_KEEP_SECONDS));
    EXPECT_EQ(cache.lookup_kept("k")->stored_at, m_now);
}

// Sixteen processes open the store and add under one key at the same moment. Each exits with
// 64 if it won, plus 1 + the number it then reads back (0: nothing read, 63: an exception).
TEST_F(ResultCacheTest, ConcurrentAddsFromManyProcessesLetExactlyOneWin) {
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    const std::string key = cache_key(ACCESS_TOKEN);
    std::vector<pid_t> children;
    for (int i = 0; i < 16; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(start[1]);
            int status = 63;
            try {
                ResultCache cache(m_dir.path(), [] { return 1000.0; });
                char go = 0;
                (void)::read(start[0], &go, 1);
                const bool won = cache.add_if_absent(key, std::to_string(i), 1800);
                const auto seen = cache.lookup(key);
                status = (won ? 64 : 0) + (seen ? 1 + std::stoi(seen->get<std::string>()) : 0);
            } catch (...) {
            }
            ::_exit(status);
        }
        children.push_back(pid);
    }
    ::close(start[0]);
    ::close(start[1]); // releases every child at once
    int wins = 0;
    std::set<int> seen;
    for (const pid_t pid : children) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        ASSERT_TRUE(WIFEXITED(status)) << status;
        wins += WEXITSTATUS(status) / 64;
        seen.insert(WEXITSTATUS(status) % 64);
    }
    EXPECT_EQ(wins, 1);
    ASSERT_EQ(seen.size(), 1U); // every process read the same winner, which is the one stored
    EXPECT_EQ(ResultCache(m_dir.path(), [] { return 1000.0; }).lookup(key),
              json(std::to_string(*seen.begin() - 1)));
}

} // namespace
} // namespace vorpane::config

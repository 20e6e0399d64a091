#include "vorpane/config/cache.hpp"
#include "vorpane/util/crypto.hpp"
#include "vorpane/util/sqlite.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "support/temp_home.hpp"

namespace vorpane::config {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class ResultCacheTest : public ::testing::Test {
  protected:
    ResultCache open() {
        return ResultCache(m_dir.path(), [this] { return m_now; });
    }
    [[nodiscard]] fs::path file() const { return m_dir.path() / "cache.sqlite3"; }
    json call(ResultCache& cache, json result) {
        return cached_call(cache, ENTITLEMENTS_IDENTITY, ENTITLEMENTS_TTL, [&] {
            ++m_calls;
            return result;
        });
    }

    test::TempDir m_dir;
    double m_now = 1'700'000'000.0;
    int m_calls = 0;
};

TEST_F(ResultCacheTest, ValuesReadBackEqualFromAnotherConnection) {
    const json entitlements = json::parse(R"([{"name": "Foo Bar", "code": "FOO_BAR",
        "packages": ["foo-bar-app", "ünï"], "required_entitlements": []}])");
    {
        ResultCache cache = open();
        EXPECT_TRUE(cache.add_if_absent("list", entitlements, 30));
        EXPECT_TRUE(cache.add_if_absent("text", "tok\"en\n", 30));
    }
    ResultCache cache = open();
    EXPECT_EQ(cache.lookup("list"), entitlements);
    EXPECT_EQ(cache.lookup("text"), json("tok\"en\n"));
    EXPECT_EQ(cache.lookup("other"), std::nullopt);
}

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

TEST_F(ResultCacheTest, LiveEntryStaysUntilItsTimeToLiveHasPassed) {
    ResultCache cache = open();
    EXPECT_TRUE(cache.add_if_absent("k", "first", 30));
    m_now += 29.9;
    EXPECT_FALSE(cache.add_if_absent("k", "second", 30));
    EXPECT_EQ(cache.lookup("k"), json("first"));
    m_now += 0.1;
    EXPECT_EQ(cache.lookup("k"), std::nullopt);
    EXPECT_TRUE(cache.add_if_absent("k", "third", 30));
    EXPECT_EQ(cache.lookup("k"), json("third"));
}

TEST_F(ResultCacheTest, StoredNullReadsAsAbsentButBlocksAddsUntilItExpires) {
    ResultCache cache = open();
    EXPECT_TRUE(cache.add_if_absent("k", nullptr, 1800));
    EXPECT_EQ(cache.lookup("k"), std::nullopt);
    m_now += 1799;
    EXPECT_FALSE(cache.add_if_absent("k", "token", 1800));
    EXPECT_EQ(cache.lookup("k"), std::nullopt);
    m_now += 1;
    EXPECT_TRUE(cache.add_if_absent("k", "token", 1800));
    EXPECT_EQ(cache.lookup("k"), json("token"));
}

TEST_F(ResultCacheTest, FileIsPrivateEvenWhenItExistedAndNoJournalLingers) {
    test::write_file(file(), "");
    fs::permissions(file(), fs::perms(0644));
    ResultCache cache = open();
    cache.add_if_absent("k", 1, 60);
    EXPECT_EQ(cache.file(), file());
    EXPECT_EQ(fs::status(file()).permissions() & fs::perms::all, fs::perms(0600));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir.path()), fs::directory_iterator()), 1);
}

TEST_F(ResultCacheTest, DamagedFileIsRebuiltSilently) {
    const std::vector<std::pair<const char*, std::function<void()>>> damages = {
        {"garbage", [&] { test::write_file(file(), std::string(5000, '\x7f')); }},
        {"truncated", [&] { fs::resize_file(file(), 4096 + 100); }},
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
    EXPECT_EQ(cache_key(ACCESS_TOKEN_IDENTITY),
              util::md5_hex("vorpane.api._get_access_token") + "_(){}");
    EXPECT_NE(cache_key(PACKAGES_IDENTITY, "('a',){}"), cache_key(PACKAGES_IDENTITY));
    ResultCache cache = open();
    EXPECT_EQ(call(cache, json::array({1})), json::array({1}));
    m_now += 10;
    EXPECT_EQ(call(cache, json::array({2})), json::array({1}));
    m_now += 21;
    EXPECT_EQ(call(cache, json::array({3})), json::array({3}));
    EXPECT_EQ(m_calls, 2);
    EXPECT_EQ(cache.lookup(cache_key(ENTITLEMENTS_IDENTITY)), json::array({3}));
    fs::remove(file());
    ResultCache fresh = open();
    EXPECT_EQ(call(fresh, 4), json(4));
    EXPECT_EQ(m_calls, 3);
}

TEST_F(ResultCacheTest, CachedNullKeepsLaterResultsOutAndFailuresStoreNothing) {
    ResultCache cache = open();
    EXPECT_EQ(call(cache, nullptr), json(nullptr));
    EXPECT_EQ(call(cache, "late"), json("late"));
    EXPECT_EQ(call(cache, "later"), json("later"));
    m_now += ENTITLEMENTS_TTL;
    EXPECT_EQ(call(cache, "stored"), json("stored"));
    EXPECT_EQ(call(cache, "ignored"), json("stored"));
    EXPECT_EQ(m_calls, 4);

    EXPECT_THROW(cached_call(cache, PACKAGES_IDENTITY, PACKAGES_TTL,
                             []() -> json { throw std::runtime_error("down"); }),
                 std::runtime_error);
    EXPECT_TRUE(cache.add_if_absent(cache_key(PACKAGES_IDENTITY), "x", 1));

    // A configuration file replaced while the operation ran (by `init`): the answer may belong
    // to the old credentials, so it is returned but not kept.
    m_now += 100;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(cached_call(cache, ACCESS_TOKEN_IDENTITY, ACCESS_TOKEN_TTL,
                              [&] {
                                  const fs::path next = m_dir.path() / "next.toml";
                                  test::write_file(next, std::to_string(i));
                                  fs::rename(next, m_dir.path() / "vorpane.toml");
                                  return json("old-token");
                              }),
                  json("old-token"));
    }
    EXPECT_EQ(cache.lookup(cache_key(ACCESS_TOKEN_IDENTITY)), std::nullopt);
    EXPECT_EQ(call(cache, "kept"), json("kept"));
    EXPECT_EQ(cache.lookup(cache_key(ENTITLEMENTS_IDENTITY)), json("kept"));
}

// Sixteen processes open the store and add under one key at the same moment.
TEST_F(ResultCacheTest, ConcurrentAddsFromManyProcessesLetExactlyOneWin) {
    constexpr int processes = 16;
    int start[2];
    int results[2];
    ASSERT_EQ(::pipe(start), 0);
    ASSERT_EQ(::pipe(results), 0);
    const std::string key = cache_key(ACCESS_TOKEN_IDENTITY);
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(start[1]);
            int status = 2;
            try {
                ResultCache cache(m_dir.path(), [] { return 1000.0; });
                char go = 0;
                (void)::read(start[0], &go, 1);
                const bool won = cache.add_if_absent(key, "value-" + std::to_string(i), 1800);
                const auto seen = cache.lookup(key);
                const std::string line = std::to_string(won ? 1 : 0) + " " +
                                         (seen ? seen->get<std::string>() : "none") + "\n";
                const auto n = ::write(results[1], line.data(), line.size());
                status = n == static_cast<ssize_t>(line.size()) ? 0 : 3;
            } catch (...) {
            }
            ::_exit(status);
        }
        children.push_back(pid);
    }
    ::close(start[0]);
    ::close(results[1]);
    ::close(start[1]); // releases every child at once

    std::string output;
    char buffer[512];
    for (ssize_t n; (n = ::read(results[0], buffer, sizeof buffer)) > 0;) {
        output.append(buffer, static_cast<size_t>(n));
    }
    ::close(results[0]);
    for (const pid_t pid : children) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    std::istringstream lines(output);
    int wins = 0;
    int reports = 0;
    std::set<std::string> seen;
    int won = 0;
    for (std::string value; lines >> won >> value; ++reports) {
        wins += won;
        seen.insert(value);
    }
    EXPECT_EQ(reports, processes);
    EXPECT_EQ(wins, 1);
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_NE(*seen.begin(), "none");
    EXPECT_EQ(ResultCache(m_dir.path(), [] { return 1000.0; }).lookup(key), json(*seen.begin()));
}

} // namespace
} // namespace vorpane::config

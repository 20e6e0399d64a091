#include "vorpane/config/cache.hpp"
#include "vorpane/util/crypto.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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

    test::TempDir m_dir;
    double m_now = 1'700'000'000.0;
};

TEST_F(ResultCacheTest, ValuesReadBackEqual) {
    ResultCache cache = open();
    const json entitlements = json::parse(R"([{"name": "Foo Bar", "code": "FOO_BAR",
        "packages": ["foo-bar-app", "ünï"], "required_entitlements": []}])");
    EXPECT_TRUE(cache.add_if_absent("list", entitlements, 30));
    EXPECT_TRUE(cache.add_if_absent("text", "tok\"en\n", 30));
    EXPECT_EQ(cache.lookup("list"), entitlements);
    EXPECT_EQ(cache.lookup("text"), json("tok\"en\n"));
    EXPECT_EQ(cache.lookup("other"), std::nullopt);
}

TEST_F(ResultCacheTest, EntriesExpireAfterTheirTimeToLive) {
    ResultCache cache = open();
    cache.add_if_absent("k", 1, 30);
    m_now += 29.9;
    EXPECT_EQ(cache.lookup("k"), json(1));
    m_now += 0.1;
    EXPECT_EQ(cache.lookup("k"), std::nullopt);
    EXPECT_TRUE(cache.add_if_absent("k", 2, 30));
    EXPECT_EQ(cache.lookup("k"), json(2));
}

TEST_F(ResultCacheTest, LiveEntryIsNotReplaced) {
    ResultCache cache = open();
    EXPECT_TRUE(cache.add_if_absent("k", "first", 300));
    m_now += 100;
    EXPECT_FALSE(cache.add_if_absent("k", "second", 300));
    EXPECT_EQ(cache.lookup("k"), json("first"));
    m_now += 200;
    EXPECT_EQ(cache.lookup("k"), std::nullopt);
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

TEST_F(ResultCacheTest, EntriesOutliveTheConnection) {
    open().add_if_absent("k", json{{"a", 1}}, 60);
    EXPECT_EQ(open().lookup("k"), (json{{"a", 1}}));
}

TEST_F(ResultCacheTest, FileIsPrivateAndNoJournalLingers) {
    ResultCache cache = open();
    cache.add_if_absent("k", 1, 60);
    struct stat info {};
    ASSERT_EQ(::stat(cache.file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
    EXPECT_EQ(cache.file(), m_dir.path() / "cache.sqlite3");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"cache.sqlite3"});
}

TEST_F(ResultCacheTest, LooseModeOfAnExistingFileIsTightened) {
    test::write_file(m_dir.path() / "cache.sqlite3", "");
    fs::permissions(m_dir.path() / "cache.sqlite3", fs::perms(0644));
    ResultCache cache = open();
    EXPECT_EQ(fs::status(cache.file()).permissions() & fs::perms::all, fs::perms(0600));
}

TEST_F(ResultCacheTest, GarbageFileIsRebuiltSilently) {
    test::write_file(m_dir.path() / "cache.sqlite3", std::string(5000, '\x7f'));
    ResultCache cache = open();
    EXPECT_EQ(cache.lookup("k"), std::nullopt);
    EXPECT_TRUE(cache.add_if_absent("k", "v", 60));
    EXPECT_EQ(cache.lookup("k"), json("v"));
}

TEST_F(ResultCacheTest, TruncatedFileIsRebuiltSilently) {
    {
        ResultCache cache = open();
        for (int i = 0; i < 200; ++i) {
            cache.add_if_absent("key" + std::to_string(i), std::string(100, 'v'), 60);
        }
    }
    const fs::path file = m_dir.path() / "cache.sqlite3";
    ASSERT_GT(fs::file_size(file), 3 * 4096U);
    fs::resize_file(file, 4096 + 100);
    ResultCache cache = open();
    EXPECT_NO_THROW(cache.lookup("key7"));
    cache.add_if_absent("fresh", 1, 60);
    EXPECT_EQ(cache.lookup("fresh"), json(1));
}

TEST_F(ResultCacheTest, DamagedTablePagesAreRebuiltOnLookup) {
    {
        ResultCache cache = open();
        for (int i = 0; i < 200; ++i) {
            cache.add_if_absent("key" + std::to_string(i), std::string(100, 'v'), 60);
        }
    }
    const fs::path file = m_dir.path() / "cache.sqlite3";
    // Keep the header page intact and scribble over everything after it.
    std::string bytes = test::read_file(file);
    ASSERT_GT(bytes.size(), 2 * 4096U);
    for (size_t i = 4096; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(0xa5);
    }
    test::write_file(file, bytes);
    ResultCache cache = open();
    EXPECT_EQ(cache.lookup("key3"), std::nullopt);
    EXPECT_TRUE(cache.add_if_absent("key3", 3, 60));
    EXPECT_EQ(cache.lookup("key3"), json(3));
}

TEST_F(ResultCacheTest, MissingDirectoryIsAnError) {
    EXPECT_ANY_THROW(ResultCache(m_dir.path() / "nope", [] { return 0.0; }));
}

TEST(CacheKey, IsTheDigestOfTheIdentityAndTheArgumentText) {
    const std::string key = cache_key(ACCESS_TOKEN_IDENTITY);
    EXPECT_EQ(key, util::md5_hex("vorpane.api._get_access_token") + "_(){}");
    EXPECT_EQ(cache_key(ENTITLEMENTS_IDENTITY),
              util::md5_hex("vorpane.modules.get_user_entitlements") + "_(){}");
    EXPECT_EQ(cache_key(PACKAGES_IDENTITY), util::md5_hex("vorpane.modules.get_packages") + "_(){}");
    EXPECT_EQ(cache_key("vorpane.other.op"), util::md5_hex("vorpane.other.op") + "_(){}");
    EXPECT_EQ(key.size(), 32U + 5U);
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), 32U);
    EXPECT_NE(cache_key(ENTITLEMENTS_IDENTITY), cache_key(PACKAGES_IDENTITY));
    EXPECT_NE(cache_key(PACKAGES_IDENTITY, "('a',){}"), cache_key(PACKAGES_IDENTITY));
}

class CachedCallTest : public ResultCacheTest {
  protected:
    json call(ResultCache& cache, json result) {
        return cached_call(cache, ENTITLEMENTS_IDENTITY, ENTITLEMENTS_TTL, [&] {
            ++m_calls;
            return result;
        });
    }
    int m_calls = 0;
};

TEST_F(CachedCallTest, CallsWithinTheTimeToLiveAreServedFromTheStore) {
    ResultCache cache = open();
    EXPECT_EQ(call(cache, json::array({1})), json::array({1}));
    m_now += 10;
    EXPECT_EQ(call(cache, json::array({2})), json::array({1}));
    EXPECT_EQ(m_calls, 1);
    m_now += 21;
    EXPECT_EQ(call(cache, json::array({3})), json::array({3}));
    EXPECT_EQ(m_calls, 2);
    EXPECT_EQ(cache.lookup(cache_key(ENTITLEMENTS_IDENTITY)), json::array({3}));
}

TEST_F(CachedCallTest, NullResultIsReturnedAndLaterResultsAreNotStored) {
    ResultCache cache = open();
    EXPECT_EQ(call(cache, nullptr), json(nullptr));
    EXPECT_EQ(call(cache, "late"), json("late"));
    EXPECT_EQ(call(cache, "later"), json("later"));
    EXPECT_EQ(m_calls, 3);
    m_now += ENTITLEMENTS_TTL;
    EXPECT_EQ(call(cache, "stored"), json("stored"));
    EXPECT_EQ(call(cache, "ignored"), json("stored"));
    EXPECT_EQ(m_calls, 4);
}

TEST_F(CachedCallTest, FailureStoresNothingAndTheNextCallRetries) {
    ResultCache cache = open();
    EXPECT_THROW(cached_call(cache, PACKAGES_IDENTITY, PACKAGES_TTL,
                             []() -> json { throw std::runtime_error("down"); }),
                 std::runtime_error);
    EXPECT_EQ(cache.lookup(cache_key(PACKAGES_IDENTITY)), std::nullopt);
    EXPECT_TRUE(cache.add_if_absent(cache_key(PACKAGES_IDENTITY), "x", 1));
}

TEST_F(CachedCallTest, RemovedStoreFileMakesTheNextCallRunTheOperation) {
    EXPECT_EQ(call(*std::make_unique<ResultCache>(open()), 1), json(1));
    fs::remove(m_dir.path() / "cache.sqlite3");
    ResultCache cache = open();
    EXPECT_EQ(call(cache, 2), json(2));
    EXPECT_EQ(m_calls, 2);
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
            ::close(results[0]);
            int status = 0;
            try {
                ResultCache cache(m_dir.path(), [] { return 1000.0; });
                char go = 0;
                (void)::read(start[0], &go, 1);
                const bool won = cache.add_if_absent(key, "value-" + std::to_string(i), 1800);
                const auto seen = cache.lookup(key);
                const std::string line = std::to_string(won ? 1 : 0) + " " +
                                         (seen ? seen->get<std::string>() : "none") + "\n";
                status = ::write(results[1], line.data(), line.size()) ==
                                 static_cast<ssize_t>(line.size())
                             ? 0
                             : 3;
            } catch (...) {
                status = 2;
            }
            ::_exit(status);
        }
        children.push_back(pid);
    }
    ::close(start[0]);
    ::close(results[1]);
    ::close(start[1]);

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
    std::string value;
    while (lines >> won >> value) {
        ++reports;
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

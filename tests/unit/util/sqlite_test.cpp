#include "vorpane/util/sqlite.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/temp_home.hpp"

namespace vorpane::util {
namespace {

using ::testing::HasSubstr;

TEST(Sqlite, NullReadsAsEmptyAndFailuresNameTheFileTheCallAndTheReason) {
    test::TempDir dir;
    const auto file = dir.path() / "t.db";
    Db db(file);
    db.exec("CREATE TABLE t (k TEXT PRIMARY KEY, v TEXT)");
    Stmt insert(db, "INSERT INTO t VALUES (:k, NULL)");
    insert.bind(":k", "x");
    EXPECT_FALSE(insert.step());
    Stmt select(db, "SELECT v FROM t");
    ASSERT_TRUE(select.step());
    EXPECT_EQ(select.column_view(0), "");
    const auto code_and_what = [](auto run) -> std::pair<int, std::string> {
        try {
            run();
        } catch (const SqliteError& e) {
            return {e.code(), e.what()};
        }
        return {SQLITE_OK, "<nothing thrown>"};
    };
    struct Case {
        std::function<void()> run;
        int code;
        std::string what;
    };
    for (const Case& c : {
             Case{[&] { Db(dir.path() / "no" / "t.db"); }, SQLITE_CANTOPEN,
                  "cannot open database " + (dir.path() / "no" / "t.db").string() +
                      ": unable to open database file"},
             Case{[&] { db.exec("CREATE TABLE t (k)"); }, SQLITE_ERROR,
                  "statement failed on " + file.string() + ": table t already exists"},
             Case{[&] { Stmt(db, "SELEC 1"); }, SQLITE_ERROR,
                  "preparing a statement failed on " + file.string()},
             Case{[&] { insert.bind(":nope", "x"); }, SQLITE_RANGE,
                  "no statement parameter named :nope"},
             // A failed step can be retried: the statement is reset, the binding kept.
             Case{[&] { insert.step(); }, SQLITE_CONSTRAINT,
                  "statement failed on " + file.string() + ": UNIQUE constraint failed: t.k"},
             Case{[&] { insert.step(); }, SQLITE_CONSTRAINT, "UNIQUE constraint failed: t.k"},
         }) {
        const auto [code, what] = code_and_what(c.run);
        EXPECT_EQ(code, c.code) << what;
        EXPECT_THAT(what, HasSubstr(c.what));
    }
}

} // namespace
} // namespace vorpane::util

#include "vorpane/util/sqlite.hpp"

#include <gtest/gtest.h>

#include "support/temp_home.hpp"

namespace vorpane::util {
namespace {

// The SQLite error code `statement` throws with; 0 when it does not throw.
template <class Statement> int error_of(Statement statement) {
    try {
        statement();
    } catch (const SqliteError& error) {
        return error.code();
    }
    return 0;
}

TEST(SqliteDb, NamedParametersRoundTripAndErrorsCarryTheirCode) {
    test::TempDir dir;
    Db db(dir.path() / "t.db");
    db.exec("CREATE TABLE t (k TEXT UNIQUE, v REAL, n INTEGER)");
    Stmt insert(db, "INSERT INTO t VALUES (:k, :v, :n)");
    insert.bind(":k", std::string_view("a\0b", 3));
    insert.bind(":v", 2.5);
    insert.bind(":n", std::int64_t{1} << 40);
    EXPECT_FALSE(insert.step());
    insert.reset();
    // A failed step leaves the statement usable.
    EXPECT_EQ(error_of([&] { insert.step(); }), SQLITE_CONSTRAINT);
    insert.bind_null(":k");
    EXPECT_FALSE(insert.step());
    EXPECT_EQ(error_of([&] { insert.bind(":missing", 1.0); }), SQLITE_RANGE);

    Stmt select(db, "SELECT k, v, n FROM t ORDER BY rowid");
    ASSERT_TRUE(select.step());
    EXPECT_EQ(select.column_text(0), std::string("a\0b", 3));
    EXPECT_DOUBLE_EQ(select.column_double(1), 2.5);
    EXPECT_EQ(select.column_int(2), std::int64_t{1} << 40);
    ASSERT_TRUE(select.step());
    EXPECT_TRUE(select.column_is_null(0));
    EXPECT_FALSE(select.step());

    EXPECT_THROW(Db(dir.path() / "missing" / "t.db"), SqliteError);
}

} // namespace
} // namespace vorpane::util

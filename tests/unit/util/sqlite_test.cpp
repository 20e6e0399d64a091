#include "vorpane/util/sqlite.hpp"

#include <gtest/gtest.h>

#include "support/temp_home.hpp"

namespace vorpane::util {
namespace {

TEST(SqliteDb, StatementsRoundTripNamedParameters) {
    test::TempDir dir;
    Db db(dir.path() / "t.db");
    db.exec("CREATE TABLE t (k TEXT, v REAL, n INTEGER)");
    Stmt insert(db, "INSERT INTO t VALUES (:k, :v, :n)");
    insert.bind(":k", std::string_view("a\0b", 3));
    insert.bind(":v", 2.5);
    insert.bind(":n", std::int64_t{1} << 40);
    EXPECT_FALSE(insert.step());
    insert.reset();
    insert.bind_null(":k");
    EXPECT_FALSE(insert.step());

    Stmt select(db, "SELECT k, v, n FROM t ORDER BY rowid");
    ASSERT_TRUE(select.step());
    EXPECT_EQ(select.column_text(0), std::string("a\0b", 3));
    EXPECT_DOUBLE_EQ(select.column_double(1), 2.5);
    EXPECT_EQ(select.column_int(2), std::int64_t{1} << 40);
    ASSERT_TRUE(select.step());
    EXPECT_TRUE(select.column_is_null(0));
    EXPECT_FALSE(select.step());
}

TEST(SqliteDb, UnknownParameterNameThrows) {
    test::TempDir dir;
    Db db(dir.path() / "t.db");
    Stmt select(db, "SELECT :a");
    EXPECT_THROW(select.bind(":b", 1.0), SqliteError);
}

TEST(SqliteDb, SyntaxErrorNamesTheFile) {
    test::TempDir dir;
    Db db(dir.path() / "t.db");
    try {
        Stmt broken(db, "SELEC 1");
        FAIL() << "prepared a broken statement";
    } catch (const SqliteError& error) {
        EXPECT_EQ(error.code(), SQLITE_ERROR);
        EXPECT_NE(std::string(error.what()).find("t.db"), std::string::npos);
    }
}

TEST(SqliteDb, GarbageFileReportsNotADatabase) {
    test::TempDir dir;
    test::write_file(dir.path() / "g.db", std::string(8192, 'g'));
    Db db(dir.path() / "g.db");
    try {
        db.exec("CREATE TABLE IF NOT EXISTS t (k)");
        FAIL() << "garbage accepted as a database";
    } catch (const SqliteError& error) {
        EXPECT_EQ(error.code(), SQLITE_NOTADB);
    }
}

TEST(SqliteDb, ConstraintFailureFromStepThrowsAndStatementIsReusable) {
    test::TempDir dir;
    Db db(dir.path() / "t.db");
    db.exec("CREATE TABLE t (k TEXT PRIMARY KEY)");
    Stmt insert(db, "INSERT INTO t VALUES (:k)");
    insert.bind(":k", std::string_view("x"));
    EXPECT_FALSE(insert.step());
    insert.reset();
    try {
        insert.step();
        FAIL() << "duplicate key accepted";
    } catch (const SqliteError& error) {
        EXPECT_EQ(error.code(), SQLITE_CONSTRAINT);
    }
    insert.bind(":k", std::string_view("y"));
    EXPECT_FALSE(insert.step());
}

TEST(SqliteDb, OpeningInAMissingDirectoryThrows) {
    test::TempDir dir;
    EXPECT_THROW(Db(dir.path() / "missing" / "t.db"), SqliteError);
}

} // namespace
} // namespace vorpane::util

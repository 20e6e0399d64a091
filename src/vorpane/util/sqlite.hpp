#pragma once

#include "vorpane/util/c_handle.hpp"

#include <sqlite3.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vorpane::util {

// A failed SQLite call; code() is the primary result code (SQLITE_BUSY, SQLITE_CORRUPT, ...).
class SqliteError : public std::runtime_error {
  public:
    SqliteError(int code, const std::string& message) : std::runtime_error(message), m_code(code) {}
    [[nodiscard]] int code() const noexcept { return m_code; }

  private:
    int m_code;
};

// One database connection, closed on destruction.
class Db {
  public:
    // Opens (by default creating) the database file at `path`. Throws SqliteError.
    explicit Db(const std::filesystem::path& path,
                int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);

    [[nodiscard]] sqlite3* get() const noexcept { return m_db.get(); }
    [[nodiscard]] const std::filesystem::path& path() const noexcept { return m_path; }

    // Runs one or more statements that return no rows. Throws SqliteError.
    void exec(const std::string& sql);
    // Lets every statement wait up to `milliseconds` for another connection's lock.
    void busy_timeout(int milliseconds);

    // Throws SqliteError describing `code` with this connection's message, unless it is
    // SQLITE_OK, SQLITE_ROW or SQLITE_DONE.
    void check(int code, std::string_view what) const;

  private:
    CHandle<sqlite3, sqlite3_close_v2> m_db;
    std::filesystem::path m_path;
};

// A prepared statement of a Db; finalised on destruction. The Db must outlive it.
class Stmt {
  public:
    // Prepares the single statement `sql`. Throws SqliteError.
    Stmt(const Db& db, std::string_view sql);

    // Bind the parameter named `name` (":now"). Text is copied.
    // Throw SqliteError, also for an unknown name.
    void bind(const char* name, std::string_view text);
    void bind(const char* name, double value);
    // Binds `text` without copying it: it must stay unchanged until the statement is destroyed
    // or the parameter bound again. Throws SqliteError.
    void bind_borrowed(const char* name, std::string_view text);

    // Advances; true while a row is available, false when done. Throws SqliteError.
    bool step();

    // Column values of the current row (columns from 0).
    [[nodiscard]] std::string column_text(int column) const;
    // The text of a column without a copy, valid until the next step, reset or destruction.
    [[nodiscard]] std::string_view column_view(int column) const;
    [[nodiscard]] double column_double(int column) const;

  private:
    int index_of(const char* name) const;

    const Db* m_db;
    CHandle<sqlite3_stmt, sqlite3_finalize> m_stmt;
};

} // namespace vorpane::util

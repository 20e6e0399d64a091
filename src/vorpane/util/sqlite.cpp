#include "vorpane/util/sqlite.hpp"

namespace vorpane::util {

Db::Db(const std::filesystem::path& path, int flags) : m_path(path) {
    sqlite3* raw = nullptr;
    const int code = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    // SQLite hands back a connection even when opening fails; it must still be closed.
    m_db.reset(raw);
    if (raw == nullptr) {
        throw SqliteError(SQLITE_NOMEM,
                          "cannot open database " + path.string() + ": out of memory");
    }
    if (code != SQLITE_OK) {
        throw SqliteError(code & 0xff,
                          "cannot open database " + path.string() + ": " + sqlite3_errmsg(raw));
    }
    sqlite3_extended_result_codes(raw, 0);
}

void Db::check(int code, std::string_view what) const {
    if (code == SQLITE_OK || code == SQLITE_ROW || code == SQLITE_DONE) {
        return;
    }
    throw SqliteError(code & 0xff, std::string(what) + " failed on " + m_path.string() + ": " +
                                       sqlite3_errmsg(m_db.get()));
}

void Db::exec(const std::string& sql) {
    check(sqlite3_exec(m_db.get(), sql.c_str(), nullptr, nullptr, nullptr), "statement");
}

void Db::busy_timeout(int milliseconds) {
    check(sqlite3_busy_timeout(m_db.get(), milliseconds), "setting the busy time-out");
}

Stmt::Stmt(const Db& db, std::string_view sql) : m_db(&db) {
    sqlite3_stmt* raw = nullptr;
    db.check(sqlite3_prepare_v2(db.get(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr),
             "preparing a statement");
    m_stmt.reset(raw);
}

int Stmt::index_of(const char* name) const {
    const int index = sqlite3_bind_parameter_index(m_stmt.get(), name);
    if (index == 0) {
        throw SqliteError(SQLITE_RANGE, std::string("no statement parameter named ") + name);
    }
    return index;
}

void Stmt::bind(const char* name, std::string_view text) {
    m_db->check(sqlite3_bind_text64(m_stmt.get(), index_of(name), text.data(), text.size(),
                                    SQLITE_TRANSIENT, SQLITE_UTF8),
                "binding a value");
}

void Stmt::bind_borrowed(const char* name, std::string_view text) {
    m_db->check(sqlite3_bind_text64(m_stmt.get(), index_of(name), text.data(), text.size(),
                                    SQLITE_STATIC, SQLITE_UTF8),
                "binding a value");
}

void Stmt::bind(const char* name, double value) {
    m_db->check(sqlite3_bind_double(m_stmt.get(), index_of(name), value), "binding a value");
}

bool Stmt::step() {
    const int code = sqlite3_step(m_stmt.get());
    if (code == SQLITE_ROW) {
        return true;
    }
    if (code == SQLITE_DONE) {
        return false;
    }
    // Keep the message before the reset that lets the statement run again.
    const std::string message = sqlite3_errmsg(m_db->get());
    sqlite3_reset(m_stmt.get());
    throw SqliteError(code & 0xff, "statement failed on " + m_db->path().string() + ": " + message);
}

std::string Stmt::column_text(int column) const {
    return std::string(column_view(column));
}

std::string_view Stmt::column_view(int column) const {
    const auto* text = sqlite3_column_text(m_stmt.get(), column);
    const int size = sqlite3_column_bytes(m_stmt.get(), column);
    if (text == nullptr) {
        return {};
    }
    return {reinterpret_cast<const char*>(text), static_cast<size_t>(size)};
}

double Stmt::column_double(int column) const {
    return sqlite3_column_double(m_stmt.get(), column);
}

} // namespace vorpane::util

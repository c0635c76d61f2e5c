#include <sqlite3.h>

#include "station/store/sql_connection.h"

namespace korvastation {

using korvasim::Result;

namespace {

// How long a write waits for another station's transaction on the file.
const int BUSY_WAIT_MS = 30000;

class SqliteConnection : public SqlConnection {
public:
    SqliteConnection(sqlite3* db, const std::string& path) : db_(db), name_("SQLite database " + path) {}
    ~SqliteConnection() override { sqlite3_close(db_); }

    Result run(const std::string& sql, const std::vector<std::string>& params, SqlRows* rows) override
    {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            return failure();
        for (size_t i = 0; i < params.size(); ++i)
            sqlite3_bind_text(statement, static_cast<int>(i + 1), params[i].c_str(), -1, SQLITE_TRANSIENT);
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            if (!rows)
                continue;
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(statement); ++c) {
                const unsigned char* text = sqlite3_column_text(statement, c);
                row.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
            }
            rows->push_back(std::move(row));
        }
        sqlite3_finalize(statement);
        return step == SQLITE_DONE ? Result::ok() : failure();
    }

    Result begin_exclusive() override { return run("BEGIN IMMEDIATE", {}, nullptr); }
    Result reconnect() override { return Result::ok(); }
    const char* text_aggregate() const override { return "group_concat"; }
    const std::string& name() const override { return name_; }

private:
    Result failure() const { return Result::failure(name_ + ": " + sqlite3_errmsg(db_)); }

    sqlite3* db_;
    std::string name_;
};

} // namespace

Result open_sqlite(const std::string& path, std::unique_ptr<SqlConnection>* connection)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return Result::failure("cannot open the SQLite database " + path + ": " + why);
    }
    sqlite3_busy_timeout(db, BUSY_WAIT_MS);
    auto opened = std::make_unique<SqliteConnection>(db, path);
    // A file that is no database is told here, not at the first record.
    if (const Result checked = opened->run("PRAGMA journal_mode=WAL", {}, nullptr); !checked)
        return checked;
    *connection = std::move(opened);
    return Result::ok();
}

} // namespace korvastation

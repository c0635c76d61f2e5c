#include <sqlite3.h>
#include <sys/stat.h>

#include "station/store/sql_connection.h"

namespace korvastation {

using korvasim::Result;

namespace {

// How long a write waits for another station's transaction on the file.
const int BUSY_WAIT_MS = 30000;

// The file at path as the machine knows it; zeros when there is none.
std::pair<dev_t, ino_t> identity_of(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? std::make_pair(st.st_dev, st.st_ino) : std::make_pair(dev_t(0), ino_t(0));
}

Result open_file(const std::string& path, sqlite3** db)
{
    if (sqlite3_open_v2(path.c_str(), db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        const std::string why = *db ? sqlite3_errmsg(*db) : "out of memory";
        sqlite3_close(*db);
        *db = nullptr;
        return Result::failure("cannot open the SQLite database " + path + ": " + why);
    }
    sqlite3_busy_timeout(*db, BUSY_WAIT_MS);
    return Result::ok();
}

class SqliteConnection : public SqlConnection {
public:
    SqliteConnection(sqlite3* db, const std::string& path)
        : db_(db), path_(path), name_("SQLite database " + path), identity_(identity_of(path))
    {
    }
    ~SqliteConnection() override { sqlite3_close(db_); }

    Result run(const std::string& sql, const std::vector<std::string>& params, SqlRows* rows) override
    {
        if (!db_)
            return Result::failure(name_ + ": it could not be opened again");
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

    bool replaced() const override { return identity_of(path_) != identity_; }

    // A file is opened anew only when its name names another one now.
    Result reconnect() override
    {
        if (!replaced())
            return Result::ok();
        // The old file's journal goes with it first: a new file must not
        // take its pages.
        sqlite3_close(db_);
        db_ = nullptr;
        if (const Result opened = open_file(path_, &db_); !opened)
            return opened;
        identity_ = identity_of(path_);
        return run("PRAGMA journal_mode=WAL", {}, nullptr);
    }

    const char* text_aggregate() const override { return "group_concat"; }
    const std::string& name() const override { return name_; }

private:
    Result failure() const { return Result::failure(name_ + ": " + sqlite3_errmsg(db_)); }

    sqlite3* db_;
    std::string path_, name_;
    std::pair<dev_t, ino_t> identity_;
};

} // namespace

Result open_sqlite(const std::string& path, std::unique_ptr<SqlConnection>* connection)
{
    sqlite3* db = nullptr;
    if (const Result opened = open_file(path, &db); !opened)
        return opened;
    auto connected = std::make_unique<SqliteConnection>(db, path);
    // A file that is no database is told here, not at the first record.
    if (const Result checked = connected->run("PRAGMA journal_mode=WAL", {}, nullptr); !checked)
        return checked;
    *connection = std::move(connected);
    return Result::ok();
}

} // namespace korvastation

#include <libpq-fe.h>

#include "station/result_store.h"
#include "station/sql_connection.h"

namespace korvastation {

using korvasim::Result;

namespace {

// libpq's messages end with a newline and may run over several lines.
std::string one_line(const char* message)
{
    std::string line = message ? message : "";
    for (char& c : line)
        if (c == '\n')
            c = ' ';
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

class PostgresConnection : public SqlConnection {
public:
    PostgresConnection(PGconn* conn, const std::string& name) : conn_(conn), name_(name) {}
    ~PostgresConnection() override { PQfinish(conn_); }

    Result run(const std::string& sql, const std::vector<std::string>& params, SqlRows* rows) override
    {
        std::vector<const char*> values;
        for (const std::string& p : params)
            values.push_back(p.c_str());
        PGresult* result = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                        values.data(), nullptr, nullptr, 0);
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            const std::string why = one_line(PQresultErrorMessage(result));
            PQclear(result);
            return Result::failure(name_ + ": " + (why.empty() ? one_line(PQerrorMessage(conn_)) : why));
        }
        if (rows)
            for (int r = 0; r < PQntuples(result); ++r) {
                std::vector<std::string> row;
                for (int c = 0; c < PQnfields(result); ++c)
                    row.emplace_back(PQgetvalue(result, r, c));
                rows->push_back(std::move(row));
            }
        PQclear(result);
        return Result::ok();
    }

    Result begin_exclusive() override
    {
        if (const Result begun = run("BEGIN", {}, nullptr); !begun)
            return begun;
        // Any number that the station alone takes.
        return run("SELECT pg_advisory_xact_lock(5714)", {}, nullptr);
    }

    const std::string& name() const override { return name_; }

private:
    PGconn* conn_;
    std::string name_;
};

} // namespace

Result open_postgres(const std::string& uri, std::unique_ptr<SqlConnection>* connection)
{
    const std::string name = "PostgreSQL database " + shown_database(uri);
    // A server that does not answer is given up after a while; the URI's own
    // connect_timeout, coming later, wins.
    const char* keys[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {"10", uri.c_str(), nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    if (!conn)
        return Result::failure("cannot connect to the " + name + ": out of memory");
    if (PQstatus(conn) != CONNECTION_OK) {
        const std::string why = one_line(PQerrorMessage(conn));
        PQfinish(conn);
        return Result::failure("cannot connect to the " + name + ": " + why);
    }
    // The server's notices ("relation already exists, skipping") are not the user's business.
    PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
    *connection = std::make_unique<PostgresConnection>(conn, name);
    return Result::ok();
}

} // namespace korvastation

#include <cerrno>
#include <chrono>
#include <libpq-fe.h>
#include <poll.h>

#include "station/store/database_name.h"
#include "station/store/sql_connection.h"

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

// How long one statement may take before the server counts as silent: a
// proxy or a server that stops answering must not hold the station.
const int ANSWER_TIMEOUT_MS = 15000;

// Waits until the connection's socket is ready for events or the deadline.
bool wait_socket(PGconn* conn, short events, std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return false;
    pollfd p = {PQsocket(conn), events, 0};
    int ready;
    do {
        ready = poll(&p, 1, static_cast<int>(left.count()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

// A new connection, or null with why it failed. A server that does not
// answer is given up after a while; the URI's own connect_timeout, coming
// later, wins.
PGconn* connect(const std::string& uri, std::string* why)
{
    const char* keys[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {"10", uri.c_str(), nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    if (!conn) {
        *why = "out of memory";
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        *why = one_line(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    }
    // The server's notices ("relation already exists, skipping") are not the user's business.
    PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
    return conn;
}

class PostgresConnection : public SqlConnection {
public:
    PostgresConnection(PGconn* conn, const std::string& uri, const std::string& name)
        : conn_(conn), uri_(uri), name_(name)
    {
    }
    ~PostgresConnection() override { PQfinish(conn_); }

    // Sent and read without blocking, so that a silent server costs
    // ANSWER_TIMEOUT_MS and no more.
    Result run(const std::string& sql, const std::vector<std::string>& params, SqlRows* rows) override
    {
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK)
            return Result::failure(name_ + ": the connection was lost");
        std::vector<const char*> values;
        for (const std::string& p : params)
            values.push_back(p.c_str());
        if (!PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                               nullptr, 0))
            return Result::failure(name_ + ": " + one_line(PQerrorMessage(conn_)));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ANSWER_TIMEOUT_MS);
        for (int flushed; (flushed = PQflush(conn_)) != 0;)
            if (flushed < 0 || !wait_socket(conn_, POLLOUT, deadline))
                return silent();
        Result outcome = Result::ok();
        for (;;) {
            while (PQisBusy(conn_)) {
                if (!wait_socket(conn_, POLLIN, deadline))
                    return silent();
                if (!PQconsumeInput(conn_))
                    return Result::failure(name_ + ": " + one_line(PQerrorMessage(conn_)));
            }
            PGresult* result = PQgetResult(conn_);
            if (!result)
                return outcome;
            const ExecStatusType status = PQresultStatus(result);
            if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
                const std::string why = one_line(PQresultErrorMessage(result));
                if (outcome)
                    outcome = Result::failure(name_ + ": " + (why.empty() ? one_line(PQerrorMessage(conn_)) : why));
            } else if (rows) {
                for (int r = 0; r < PQntuples(result); ++r) {
                    std::vector<std::string> row;
                    for (int c = 0; c < PQnfields(result); ++c)
                        row.emplace_back(PQgetvalue(result, r, c));
                    rows->push_back(std::move(row));
                }
            }
            PQclear(result);
        }
    }

    Result begin_exclusive() override
    {
        if (const Result begun = run("BEGIN", {}, nullptr); !begun)
            return begun;
        // Any number that the station alone takes.
        return run("SELECT pg_advisory_xact_lock(5714)", {}, nullptr);
    }

    Result reconnect() override
    {
        PQfinish(conn_);
        std::string why;
        conn_ = connect(uri_, &why);
        if (!conn_)
            return Result::failure("cannot connect to the " + name_ + " again: " + why);
        return Result::ok();
    }

    const char* text_aggregate() const override { return "string_agg"; }
    const std::string& name() const override { return name_; }

private:
    // A statement the server never answered leaves the connection in an
    // unknown state: it is closed, and only a reconnect opens it again.
    Result silent()
    {
        PQfinish(conn_);
        conn_ = nullptr;
        return Result::failure(name_ + ": the server did not answer in " + std::to_string(ANSWER_TIMEOUT_MS / 1000) +
                               " s");
    }

    PGconn* conn_;
    std::string uri_;
    std::string name_;
};

} // namespace

Result open_postgres(const std::string& uri, std::unique_ptr<SqlConnection>* connection)
{
    const std::string name = "PostgreSQL database " + shown_database(uri);
    std::string why;
    PGconn* conn = connect(uri, &why);
    if (!conn)
        return Result::failure("cannot connect to the " + name + ": " + why);
    *connection = std::make_unique<PostgresConnection>(conn, uri, name);
    return Result::ok();
}

} // namespace korvastation

// A connection to a database that runs one statement at a time, its
// parameters ($1, $2, ... in the order they first appear) and its rows as
// text: the one thing the station's store needs of SQLite and PostgreSQL,
// each through its own library.
#ifndef KORVASTATION_SQL_CONNECTION_H
#define KORVASTATION_SQL_CONNECTION_H

#include <memory>
#include <string>
#include <vector>

#include "sim/support/result.h"

namespace korvastation {

using SqlRows = std::vector<std::vector<std::string>>;

class SqlConnection {
public:
    virtual ~SqlConnection() = default;
    // rows may be null for a statement whose rows nobody reads.
    virtual korvasim::Result run(const std::string& sql, const std::vector<std::string>& params,
                                 SqlRows* rows) = 0;
    // Starts a transaction that holds off every other writer until it ends.
    virtual korvasim::Result begin_exclusive() = 0;
    // Opens the connection anew (a server restarted, a statement it never
    // answered); a file has nothing to open anew.
    virtual korvasim::Result reconnect() = 0;
    // Whether the database it opened is no longer the one its name names
    // (a file deleted or replaced under it); reconnect opens the new one.
    virtual bool replaced() const { return false; }
    // The aggregate that joins texts with a separator: SQLite and
    // PostgreSQL name it differently.
    virtual const char* text_aggregate() const = 0;
    // The database as messages name it.
    virtual const std::string& name() const = 0;
};

// A SQLite file, made when missing; other stations' writes are waited for.
korvasim::Result open_sqlite(const std::string& path, std::unique_ptr<SqlConnection>* connection);
// A PostgreSQL server by its connection URI.
korvasim::Result open_postgres(const std::string& uri, std::unique_ptr<SqlConnection>* connection);

} // namespace korvastation

#endif

// How a database is named on a command line: a PostgreSQL server by its
// URI, a SQLite file by its path, and how messages show either.
#ifndef KORVASTATION_DATABASE_NAME_H
#define KORVASTATION_DATABASE_NAME_H

#include <string>

#include "sim/support/result.h"

namespace korvastation {

// Whether where names a PostgreSQL server ("postgresql://..." or
// "postgres://...") rather than a SQLite file.
bool is_server_uri(const std::string& where);

// A database name that is neither a server's URI nor a file's path: a
// keyword connection string ("host=db1 dbname=line") would otherwise become
// a SQLite file of that name.
// setting: how the refusal names where it was given ("--db", "database").
korvasim::Result check_database_name(const std::string& where, const std::string& setting = "--db");

// A server's URI as messages show it: every password ("user:secret@",
// "password=secret") as ***.
std::string shown_database(const std::string& where);

} // namespace korvastation

#endif

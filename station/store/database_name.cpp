#include "station/store/database_name.h"

namespace korvastation {

using korvasim::Result;

bool is_server_uri(const std::string& where)
{
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

Result check_database_name(const std::string& where, const std::string& setting)
{
    if (is_server_uri(where))
        return Result::ok();
    // libpq's keyword form: a word, '=', and more of the same.
    const size_t equals = where.find('=');
    const size_t word_end = where.find_first_not_of("abcdefghijklmnopqrstuvwxyz_ ");
    if (equals != std::string::npos && word_end == equals && where.find('/') == std::string::npos)
        return Result::failure("bad " + setting + " '" + shown_database(where) +
                               "': a keyword connection string; give a postgresql:// URI or a SQLite file");
    if (where.find("://") != std::string::npos)
        return Result::failure("bad " + setting + " '" + shown_database(where) +
                               "': only postgresql:// URIs name a server; a SQLite file is named by its path");
    return Result::ok();
}

std::string shown_database(const std::string& where)
{
    std::string shown = where;
    const size_t scheme = shown.find("://");
    const size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t at = shown.find('@', authority);
    const size_t slash = shown.find('/', authority);
    if (scheme != std::string::npos && at != std::string::npos && (slash == std::string::npos || at < slash)) {
        const size_t colon = shown.find(':', authority);
        if (colon != std::string::npos && colon < at)
            shown = shown.substr(0, colon) + ":***" + shown.substr(at);
    }
    // password=... in a URI's query or a keyword string, up to its end.
    for (size_t at_key = 0; (at_key = shown.find("password=", at_key)) != std::string::npos;) {
        const size_t value = at_key + 9;
        const size_t end = shown.find_first_of("& ", value);
        shown.replace(value, (end == std::string::npos ? shown.size() : end) - value, "***");
        at_key = value;
    }
    return shown;
}

} // namespace korvastation

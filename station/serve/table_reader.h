// One table of a TOML configuration read key by key: each key once, its
// value checked, and whatever does not fit named by file and line.
#ifndef KORVASTATION_TABLE_READER_H
#define KORVASTATION_TABLE_READER_H

#include <algorithm>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include <toml++/toml.h>

#include "sim/support/result.h"

// Returns a failed Result at once.
#define KORVA_TRY(expression)                     \
    if (const korvasim::Result tried = (expression); !tried) \
        return tried

namespace korvastation {

// Reads one table's keys, each once, and names the file and line of
// whatever does not fit.
class TableReader {
public:
    TableReader(const std::string& path, const toml::table& table, std::string where)
        : path_(path), table_(table), where_(std::move(where))
    {
    }

    korvasim::Result text(const char* key, std::string* value)
    {
        return read(key, [&](const toml::node& node) -> korvasim::Result {
            const auto* s = node.as_string();
            if (!s)
                return wrong(node, key, "a text in quotes");
            *value = s->get();
            if (value->find('\0') != std::string::npos)
                return wrong(node, key, "a text without NUL");
            return korvasim::Result::ok();
        });
    }

    korvasim::Result seconds(const char* key, double* value, double least)
    {
        return read(key, [&](const toml::node& node) -> korvasim::Result {
            const std::optional<double> v = node.value<double>();
            if (!v || !(*v >= least) || *v > 86400)
                return wrong(node, key, "seconds from " + number_text(least) + " to 86400");
            *value = *v;
            return korvasim::Result::ok();
        });
    }

    korvasim::Result count(const char* key, long* value, long least, long most)
    {
        return read(key, [&](const toml::node& node) -> korvasim::Result {
            const auto* i = node.as_integer();
            if (!i || i->get() < least || i->get() > most)
                return wrong(node, key, "a whole number from " + std::to_string(least) + " to " + std::to_string(most));
            *value = static_cast<long>(i->get());
            return korvasim::Result::ok();
        });
    }

    // A span of time as a person writes it: "8h", "30m", "90s".
    korvasim::Result span(const char* key, double* value)
    {
        return read(key, [&](const toml::node& node) -> korvasim::Result {
            const std::optional<std::string> v = node.value<std::string>();
            size_t used = 0;
            double n = 0;
            try {
                if (v)
                    n = std::stod(*v, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            const std::string unit = v && used > 0 ? v->substr(used) : "";
            const double scale = unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : 0;
            if (!v || used == 0 || scale == 0 || !(n > 0) || n * scale < 60 || n * scale > 7 * 86400)
                return wrong(node, key, "a time from \"1m\" to \"168h\", in s, m or h");
            *value = n * scale;
            return korvasim::Result::ok();
        });
    }

    // A list of texts, none empty, none twice.
    korvasim::Result texts(const char* key, std::vector<std::string>* values)
    {
        return read(key, [&](const toml::node& node) -> korvasim::Result {
            const auto* list = node.as_array();
            std::vector<std::string> read;
            for (size_t i = 0; list && i < list->size(); ++i) {
                const auto* s = list->get(i)->as_string();
                if (!s || s->get().empty() || s->get().find('\0') != std::string::npos ||
                    std::find(read.begin(), read.end(), s->get()) != read.end())
                    return wrong(node, key, "a list of texts in quotes, none empty and none twice");
                read.push_back(s->get());
            }
            if (!list || read.empty())
                return wrong(node, key, "a list of texts in quotes, none empty and none twice");
            *values = read;
            return korvasim::Result::ok();
        });
    }

    korvasim::Result flag(const char* key, bool* value)
    {
        return read(key, [&](const toml::node& node) -> korvasim::Result {
            const auto* b = node.as_boolean();
            if (!b)
                return wrong(node, key, "true or false");
            *value = b->get();
            return korvasim::Result::ok();
        });
    }

    // A table or array of tables under key; null when absent.
    const toml::node* node(const char* key)
    {
        known_.insert(key);
        return table_.get(key);
    }

    // The table under key, shown as shown in messages: null when absent; a
    // value that is not a table is a mistake.
    korvasim::Result table(const char* key, const std::string& shown, const toml::table** out)
    {
        *out = nullptr;
        const toml::node* n = node(key);
        if (!n)
            return korvasim::Result::ok();
        *out = n->as_table();
        return *out ? korvasim::Result::ok() : wrong(*n, key, "a table " + shown);
    }

    // Keys nobody asked for are mistakes: a misspelt one would silently
    // leave its default in place.
    korvasim::Result no_other_keys() const
    {
        for (const auto& [key, value] : table_)
            if (!known_.count(std::string(key.str())))
                return korvasim::Result::failure(at(value) + "unknown key '" + std::string(key.str()) + "'" + in());
        return korvasim::Result::ok();
    }

    korvasim::Result wrong(const toml::node& node, const std::string& key, const std::string& expected) const
    {
        return korvasim::Result::failure(at(node) + "bad " + key + " " + shown(node) + in() + ": expected " + expected);
    }

    std::string at(const toml::node& node) const
    {
        return path_ + ":" + std::to_string(node.source().begin.line) + ": ";
    }

private:
    template <typename F> korvasim::Result read(const char* key, F f)
    {
        known_.insert(key);
        const toml::node* n = table_.get(key);
        return n ? f(*n) : korvasim::Result::ok();
    }

    std::string in() const { return where_.empty() ? "" : " in " + where_; }

    static std::string number_text(double v)
    {
        std::string s = std::to_string(v);
        s.erase(s.find_last_not_of('0') + 1);
        if (!s.empty() && s.back() == '.')
            s.pop_back();
        return s;
    }

    static std::string shown(const toml::node& node)
    {
        std::ostringstream text;
        if (node.is_table())
            text << "(a table)";
        else if (node.is_array())
            text << "(a list)";
        else
            node.visit([&](const auto& v) { text << v; });
        std::string s = text.str();
        return s.size() > 60 ? s.substr(0, 57) + "..." : s;
    }

    const std::string& path_;
    const toml::table& table_;
    std::string where_;
    std::set<std::string> known_;
};

} // namespace korvastation

#endif

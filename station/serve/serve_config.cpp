#include "station/serve/serve_config.h"

#include "station/run/instance_lock.h"
#include "station/store/database_name.h"
#include "station/serve/serial_example.h"
#include "station/serve/serial_pattern.h"
#include "station/serve/table_reader.h"

#include <algorithm>
#include <optional>
#include <set>
#include <sstream>
#include <tuple>
#include <toml++/toml.h>

namespace korvastation {

using korvasim::Result;

namespace {

// A pattern as a message shows it: a long one cut.
std::string shown_pattern(const std::string& pattern)
{
    return pattern.size() > 60 ? pattern.substr(0, 57) + "..." : pattern;
}

Result read_power(const std::string& path, TableReader& top, ServeConfig* config)
{
    const toml::table* table = nullptr;
    KORVA_TRY(top.table("power", "[power]", &table));
    if (!table)
        return Result::ok();
    TableReader power(path, *table, "[power]");
    std::string on, off;
    bool shell = false;
    StationSettings& s = config->settings;
    KORVA_TRY(power.text("on", &on));
    KORVA_TRY(power.text("off", &off));
    KORVA_TRY(power.flag("shell", &shell));
    KORVA_TRY(power.seconds("cycle_wait", &s.power_cycle_wait_s, 0));
    KORVA_TRY(power.seconds("timeout", &s.power_timeout_s, 0.1));
    KORVA_TRY(power.no_other_keys());
    if (on.empty() || off.empty())
        return Result::failure(power.at(*table) + "[power] needs both on and off: the station switches boards both ways");
    for (auto [line, text, option] : {std::make_tuple(&s.power_on, &on, "[power] on"),
                                      std::make_tuple(&s.power_off, &off, "[power] off")})
        if (const Result parsed = line->parse(option, *text, shell, "[power] shell = true"); !parsed)
            return Result::failure(path + ": " + parsed.why());
    return Result::ok();
}

// What the operator does with a board when the configuration says nothing
// of its verdict: every verdict has a plain instruction.
const std::pair<Verdict, const char*> PLAIN_ADVICE[] = {
    {Verdict::PASSED, "put the board with the passed boards"},
    {Verdict::FAILED, "put the board aside for repair"},
    {Verdict::HUNG, "put the board aside for repair"},
    {Verdict::LOST, "check the board's cable, then test it again"},
    {Verdict::NOT_TESTED, "the station could not test it: check the fixture, then test it again"},
    {Verdict::STOPPED, "test the board again"},
};

Result read_advice(const std::string& path, TableReader& top, ServeConfig* config)
{
    for (const auto& [verdict, words] : PLAIN_ADVICE)
        config->advice[verdict] = words;
    const toml::table* table = nullptr;
    KORVA_TRY(top.table("advice", "[advice]", &table));
    if (!table)
        return Result::ok();
    TableReader advice(path, *table, "[advice]");
    for (Verdict v : {Verdict::PASSED, Verdict::FAILED, Verdict::HUNG, Verdict::LOST, Verdict::NOT_TESTED}) {
        std::string key = verdict_name(v);
        std::replace(key.begin(), key.end(), ' ', '_');
        std::string given;
        KORVA_TRY(advice.text(key.c_str(), &given));
        if (!given.empty())
            config->advice[v] = given;
    }
    return advice.no_other_keys();
}

// A fixture's serial numbers: its pattern compiled, an example it takes,
// its golden board's.
Result check_serials(const std::string& at, const std::string& where, FixtureSpec* fixture)
{
    FixtureSpec& f = *fixture;
    if (!f.serial_pattern.empty()) {
        f.pattern = std::make_shared<const SerialPattern>(f.serial_pattern);
        if (const std::string why = f.pattern->error(); !why.empty())
            return Result::failure(at + "bad serial_pattern '" + shown_pattern(f.serial_pattern) + "' in " + where + ": " +
                                   why);
        if (!f.serial_example.empty() && !f.pattern->matches(f.serial_example))
            return Result::failure(at + "serial_example '" + shown_pattern(f.serial_example) + "' of fixture " + f.name +
                                   " does not match its serial_pattern");
        if (f.serial_example.empty())
            f.serial_example = example_of_pattern(f.serial_pattern);
        if (f.serial_example.empty() || !f.pattern->matches(f.serial_example))
            return Result::failure(at + "fixture " + f.name + " needs serial_example = \"...\", a serial number its "
                                   "serial_pattern takes: none could be made from the pattern");
    } else if (!f.serial_example.empty()) {
        return Result::failure(at + "fixture " + f.name + " has a serial_example but no serial_pattern");
    }
    if (f.golden_every_s > 0 && f.golden.empty())
        return Result::failure(at + "fixture " + f.name + " has golden_every but no golden board");
    for (unsigned char c : f.golden)
        if (c <= 0x20 || c >= 0x7f)
            return Result::failure(at + "bad golden '" + shown_pattern(f.golden) + "' of fixture " + f.name +
                                   ": expected a serial number of letters, digits and signs");
    return Result::ok();
}

Result read_fixture(const std::string& path, const toml::node& node, size_t index, ServeConfig* config)
{
    const std::string where = "[[fixture]] " + std::to_string(index + 1);
    const toml::table* table = node.as_table();
    TableReader reader(path, *table, where);
    FixtureSpec f;
    KORVA_TRY(reader.text("name", &f.name));
    KORVA_TRY(reader.text("port", &f.port));
    KORVA_TRY(reader.text("switch", &f.power_switch));
    KORVA_TRY(reader.text("serial_pattern", &f.serial_pattern));
    KORVA_TRY(reader.text("serial_example", &f.serial_example));
    KORVA_TRY(reader.count("max_cycles", &f.max_cycles, 1, 100000000));
    KORVA_TRY(reader.text("golden", &f.golden));
    KORVA_TRY(reader.span("golden_every", &f.golden_every_s));
    KORVA_TRY(reader.no_other_keys());
    const std::string at = reader.at(node);
    // A fixture's name is scanned like a serial number: it must be one
    // the scanner can type and no board's.
    const bool name_shape = !f.name.empty() && f.name.size() <= 32 &&
                            f.name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-") ==
                                std::string::npos;
    if (!name_shape)
        return Result::failure(at + "bad name '" + f.name + "' in " + where +
                               ": expected 1 to 32 letters, digits, '.', '-' or '_'");
    if (f.port.empty())
        return Result::failure(at + "fixture " + f.name + " has no port");
    for (const FixtureSpec& other : config->fixtures) {
        if (other.name == f.name || other.port == f.port)
            return Result::failure(at + "fixture " + f.name + " repeats the " +
                                   (other.name == f.name ? "name " + f.name : "port " + f.port) + " of an earlier one");
        // b1 and the /dev/pts/3 it points to are one port.
        if (real_name_of(other.port) == real_name_of(f.port))
            return Result::failure(at + "fixture " + f.name + "'s port " + f.port + " is fixture " + other.name +
                                   "'s port " + other.port + " (both are " + real_name_of(f.port) + ")");
        if (!f.power_switch.empty() && other.power_switch == f.power_switch)
            return Result::failure(at + "fixture " + f.name + " repeats the switch '" + f.power_switch + "' of fixture " +
                                   other.name + ": one switch would power both boards");
    }
    if (!f.power_switch.empty() && !config->settings.power_on.given())
        return Result::failure(at + "fixture " + f.name + " names switch '" + f.power_switch +
                               "', but no [power] commands switch it");
    if (config->settings.power_on.uses_switch() && f.power_switch.empty())
        return Result::failure(at + "fixture " + f.name + " has no switch, and the power commands use {switch}");
    KORVA_TRY(check_serials(at, where, &f));
    config->fixtures.push_back(f);
    return Result::ok();
}

Result read_fixtures(const std::string& path, TableReader& top, ServeConfig* config)
{
    const toml::node* node = top.node("fixture");
    const toml::array* list = node ? node->as_array() : nullptr;
    if (node && (!list || !list->is_array_of_tables()))
        return top.wrong(*node, "fixture", "tables [[fixture]]");
    // A station without fixtures is a repair bench: its page looks boards
    // up in the line's database.
    if ((!list || list->empty()) && (config->settings.db.empty() || config->settings.http.empty()))
        return Result::failure(path + ": no [[fixture]]: the station has nothing to serve (a repair bench, which has "
                                      "none, needs the line's database and http for its page)");
    if (!list)
        return Result::ok();
    for (size_t i = 0; i < list->size(); ++i)
        KORVA_TRY(read_fixture(path, *list->get(i), i, config));
    return Result::ok();
}

Result read_top(const std::string& path, TableReader& top, ServeConfig* config)
{
    StationSettings& s = config->settings;
    long max_length = static_cast<long>(config->serial_max_length), window = config->health_window;
    KORVA_TRY(top.text("station", &s.station_name));
    KORVA_TRY(top.text("database", &s.db));
    KORVA_TRY(top.text("records", &config->records_dir));
    KORVA_TRY(top.text("http", &s.http));
    KORVA_TRY(top.text("token", &config->token));
    KORVA_TRY(top.text("operator", &config->operator_name));
    KORVA_TRY(top.text("on_attempt", &config->on_attempt));
    KORVA_TRY(top.text("dudedoved", &s.dudedoved));
    KORVA_TRY(top.seconds("wake_timeout", &s.wake_timeout_s, 0));
    KORVA_TRY(top.seconds("silence_timeout", &s.silence_timeout_s, 1));
    KORVA_TRY(top.count("retests", &s.retests, 0, 10));
    KORVA_TRY(top.count("serial_max_length", &max_length, 1, 200));
    KORVA_TRY(top.count("health_window", &window, 0, 100));
    config->serial_max_length = static_cast<size_t>(max_length);
    config->health_window = static_cast<int>(window);
    KORVA_TRY(read_power(path, top, config));
    KORVA_TRY(read_advice(path, top, config));
    KORVA_TRY(read_fixtures(path, top, config));
    KORVA_TRY(read_board_setup(path, top, &config->board));
    KORVA_TRY(read_repair_setup(path, top, &config->repair));
    KORVA_TRY(top.no_other_keys());
    if (const Result named = check_database_name(s.db, "database"); !s.db.empty() && !named)
        return Result::failure(path + ": " + named.why());
    if (config->records_dir.empty())
        return Result::failure(path + ": records is empty: the attempts' records need a folder");
    // The page carries the token in its address (?token=...): characters
    // that a URL would change are refused.
    if (config->token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~") !=
        std::string::npos)
        return Result::failure(path + ": the token may hold letters, digits, '-', '.', '_' and '~' only: the page "
                                      "carries it in its address");
    return Result::ok();
}

} // namespace

FixtureSpec fixture_of(const std::string& name, const std::string& port, const std::string& power_switch,
                       const std::string& serial_pattern)
{
    FixtureSpec f{name, port, power_switch, serial_pattern, nullptr, "", 0, "", 0};
    if (!serial_pattern.empty()) {
        f.pattern = std::make_shared<const SerialPattern>(serial_pattern);
        f.serial_example = example_of_pattern(serial_pattern);
    }
    return f;
}

Result load_serve_config(const std::string& path, ServeConfig* config)
{
    toml::table table;
    try {
        table = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        if (e.source().begin.line == 0)
            return Result::failure("cannot read the configuration " + path + ": " + std::string(e.description()));
        return Result::failure(path + ":" + std::to_string(e.source().begin.line) + ": " +
                               std::string(e.description()));
    }
    TableReader top(path, table, "");
    config->path = path;
    return read_top(path, top, config);
}

} // namespace korvastation

#include "station/cli/station_options.h"

#include <arpa/inet.h>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <getopt.h>
#include <netdb.h>
#include <sys/stat.h>

#include "station/store/database_name.h"

namespace korvastation {

using korvasim::Result;

const char STATION_USAGE[] =
    "Usage: korvastation [options] PORT[=LABEL][@SWITCH]...\n"
    "       korvastation report --db FILE|URI [options]   (report --help)\n"
    "       korvastation serve --config FILE [options]    (serve --help)\n"
    "\n"
    "Tests several Korva boards at once, one dudedoved per port, with time-outs,\n"
    "burn-in and machine-readable records. PORT is what dudedoved -p takes; LABEL\n"
    "(a serial number or fixture name) goes into every record; SWITCH (a relay\n"
    "channel, a hub port) is the board's {switch} in the power commands.\n"
    "\n"
    "  --log-dir DIR          Logs go to DIR (default: a new station-DATE-TIME folder).\n"
    "  --wake-timeout S       A board that has not woken up in S seconds is hung\n"
    "                         (default: wait as dudedoved does).\n"
    "  --silence-timeout S    A test with no output for S seconds is hung (default 30).\n"
    "  --passes N             Burn-in: N passes of all three tests (default 1).\n"
    "  --duration D           Burn-in for D (90s, 30m, 8h), ending at a pass's end.\n"
    "  --stop-at-failure      End a board's burn-in at the end of its first failed pass.\n"
    "  --junit FILE           Write a JUnit XML report.\n"
    "  --json FILE            Write one JSON record per attempt, a line each.\n"
    "  --append               Add to the JSON file instead of replacing it.\n"
    "  --dudedoved PATH       The dudedoved to run (default: the one beside\n"
    "                         korvastation, else the first on PATH).\n"
    "  --power-on CMD         Power a board on with CMD, and off with the command of\n"
    "  --power-off CMD        --power-off: off, dudedoved started, on; off at the end.\n"
    "                         {port}, {label} and {switch} stand for the board's.\n"
    "  --power-shell          Run the power commands with sh -c (default: no shell).\n"
    "  --power-cycle-wait S   Seconds off before a board is powered again (default 2).\n"
    "  --power-timeout S      A power command not done in S seconds failed (default 30).\n"
    "  --keep-power           Leave the boards powered at the end.\n"
    "  --retest N             Test a board that failed or hung again, up to N times.\n"
    "  --db FILE|URI          Also record every attempt in a SQLite file, or in a\n"
    "                         PostgreSQL server (postgresql://...).\n"
    "  --station NAME         The station's name in the database (default: the host's).\n"
    "  --http [HOST:]PORT     Serve a live page of the boards (on 127.0.0.1 unless\n"
    "                         HOST is given; port 0 takes a free one).\n"
    "  --help                 Print this text.\n"
    "\n"
    "Exit status: 0 when every board passed, 1 when a board failed a test,\n"
    "2 when a board could not be tested (port, lost port, hung) or on a usage error.\n";

bool parse_duration(const std::string& text, double* seconds)
{
    char* end = nullptr;
    const double value = strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || !std::isfinite(value) || value <= 0)
        return false;
    const std::string unit = end;
    const double scale = unit.empty() || unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : 0;
    if (scale == 0 || value * scale > MAX_SECONDS)
        return false;
    *seconds = value * scale;
    return true;
}

std::string option_problem(const std::string& word, const option* options)
{
    for (const option* o = options; o->name; ++o)
        if (word == std::string("--") + o->name && o->has_arg == required_argument)
            return "option '" + word + "' needs a value";
    return "unknown option '" + word + "'";
}

namespace {

const size_t MAX_LABEL = 200;

// A port word that names something: a port number from 1, a path, or a
// device in /dev. dudedoved reads any other word as port 0.
bool names_a_port(const std::string& port)
{
    struct stat st;
    if (port.find('/') != std::string::npos || stat(port.c_str(), &st) == 0)
        return true;
    if (port.find_first_not_of("0123456789") == std::string::npos)
        return atol(port.c_str()) >= 1;
    if (stat(("/dev/" + port).c_str(), &st) == 0)
        return true;
    return atoi(port.c_str()) >= 1;
}

// Two names of one file, also before it exists: the same folder and name.
std::string file_identity(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char real[PATH_MAX];
    if (!realpath(dir.c_str(), real))
        return path;
    return std::string(real) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
}

Result check_outputs(const StationSettings& options)
{
    std::vector<std::pair<std::string, std::string>> outputs;  // option, path
    if (!options.json_path.empty())
        outputs.push_back({"--json", options.json_path});
    if (!options.junit_path.empty())
        outputs.push_back({"--junit", options.junit_path});
    if (!options.db.empty() && !is_server_uri(options.db))
        outputs.push_back({"--db", options.db});
    for (size_t i = 0; i < outputs.size(); ++i)
        for (size_t j = i + 1; j < outputs.size(); ++j)
            if (file_identity(outputs[i].second) == file_identity(outputs[j].second))
                return Result::failure(outputs[i].first + " " + outputs[i].second + " and " + outputs[j].first + " " +
                                       outputs[j].second + " are one file: give each record its own");
    return Result::ok();
}

Result check_http(const std::string& address)
{
    if (address.empty())
        return Result::failure("--http needs [HOST:]PORT, such as 8080 or 0.0.0.0:8080");
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos)
        return Result::ok();
    std::string host = address.substr(0, colon);
    if (host.size() > 1 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    in6_addr any;
    const bool numeric = host.find_first_not_of("0123456789.") == std::string::npos;
    if ((numeric || host.find(':') != std::string::npos) &&
        inet_pton(host.find(':') != std::string::npos ? AF_INET6 : AF_INET, host.c_str(), &any) != 1)
        return Result::failure("bad --http '" + address + "': '" + host + "' is no IP address");
    if (!numeric && host.find(':') == std::string::npos) {
        addrinfo hints = {};
        hints.ai_flags = AI_PASSIVE;
        addrinfo* found = nullptr;
        const int e = getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (e != 0)
            return Result::failure("bad --http '" + address + "': cannot resolve '" + host + "': " + gai_strerror(e));
        freeaddrinfo(found);
    }
    return Result::ok();
}

Result check_board(const BoardSpec& board, const std::string& arg, const StationSettings& options)
{
    if (board.label.size() > MAX_LABEL)
        return Result::failure("bad board '" + arg.substr(0, 40) + "...': its label has " +
                               std::to_string(board.label.size()) + " characters; at most " +
                               std::to_string(MAX_LABEL));
    if (!names_a_port(board.port))
        return Result::failure("bad board '" + arg + "': '" + board.port +
                               "' names no device and is no port number (1 is COM1, /dev/ttyS0)");
    if (!board.power_switch.empty() && !options.power_on.given())
        return Result::failure("bad board '" + arg + "': '@" + board.power_switch +
                               "' names a power switch, but no --power-on and --power-off switch it");
    for (const BoardSpec& other : options.boards)
        if (file_identity(other.port) == file_identity(board.port) || other.port == board.port)
            return Result::failure("boards '" + other.label + "' and '" + board.label + "' are on one port, " +
                                   board.port + ": give each board its own");
    return Result::ok();
}

bool parse_count(const std::string& value, long least, long* count)
{
    char* end = nullptr;
    const long n = strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n < least || n > 100000000)
        return false;
    *count = n;
    return true;
}

} // namespace

namespace {

// Options whose meaning depends on others, kept until all are read.
struct GivenWords {
    std::string power_on, power_off;
    bool power_shell = false, power_tuned = false, wake = false;
};

const option LONG_OPTIONS[] = {
    {"log-dir", required_argument, nullptr, 'd'},   {"wake-timeout", required_argument, nullptr, 'w'},
    {"silence-timeout", required_argument, nullptr, 's'}, {"passes", required_argument, nullptr, 'n'},
    {"duration", required_argument, nullptr, 't'},  {"junit", required_argument, nullptr, 'j'},
    {"json", required_argument, nullptr, 'J'},      {"append", no_argument, nullptr, 'a'},
    {"dudedoved", required_argument, nullptr, 'D'}, {"help", no_argument, nullptr, 'h'},
    {"power-on", required_argument, nullptr, 'O'},  {"power-off", required_argument, nullptr, 'F'},
    {"power-shell", no_argument, nullptr, 'S'},     {"power-cycle-wait", required_argument, nullptr, 'W'},
    {"power-timeout", required_argument, nullptr, 'T'}, {"keep-power", no_argument, nullptr, 'k'},
    {"retest", required_argument, nullptr, 'r'}, {"db", required_argument, nullptr, 'B'},
    {"station", required_argument, nullptr, 'N'}, {"http", required_argument, nullptr, 'H'},
    {"stop-at-failure", no_argument, nullptr, 'X'},
    {nullptr, 0, nullptr, 0}};

// The options that are a time, and how their message shows one.
struct TimeOption {
    int code;
    const char* name;
    double StationSettings::*seconds;
    const char* example;
};

const TimeOption TIME_OPTIONS[] = {
    {'w', "--wake-timeout", &StationSettings::wake_timeout_s, "seconds, such as 60"},
    {'s', "--silence-timeout", &StationSettings::silence_timeout_s, "seconds, such as 30"},
    {'W', "--power-cycle-wait", &StationSettings::power_cycle_wait_s, "seconds, such as 2"},
    {'T', "--power-timeout", &StationSettings::power_timeout_s, "seconds, such as 30"},
    {'t', "--duration", &StationSettings::duration_s, "a time such as 90s, 30m or 8h"},
};

Result take_time_option(const TimeOption& o, const std::string& value, StationSettings* options)
{
    // No wait at all between off and on is a choice; no other time may be 0.
    if (o.code == 'W' && value == "0")
        options->*o.seconds = 0;
    else if (!parse_duration(value, &(options->*o.seconds)))
        return Result::failure(std::string("bad ") + o.name + " '" + value + "': expected " + o.example +
                               ", up to 30 days");
    return Result::ok();
}

// One known option and its value; --help and unknown options are the caller's.
Result take_option(int c, const std::string& value, StationSettings* options, GivenWords* given)
{
    for (const TimeOption& o : TIME_OPTIONS)
        if (o.code == c) {
            given->wake = given->wake || c == 'w';
            given->power_tuned = given->power_tuned || c == 'W' || c == 'T';
            return take_time_option(o, value, options);
        }
    switch (c) {
    case 'd': options->log_dir = value; break;
    case 'j': options->junit_path = value; break;
    case 'J': options->json_path = value; break;
    case 'D': options->dudedoved = value; break;
    case 'a': options->append = true; break;
    case 'X': options->stop_at_failure = true; break;
    case 'O': given->power_on = value; break;
    case 'F': given->power_off = value; break;
    case 'S': given->power_shell = true; break;
    case 'k':
        options->keep_power = true;
        given->power_tuned = true;
        break;
    case 'n':
        if (!parse_count(value, 1, &options->passes))
            return Result::failure("bad --passes '" + value + "': expected a whole number from 1");
        break;
    case 'r':
        if (!parse_count(value, 0, &options->retests))
            return Result::failure("bad --retest '" + value + "': expected a whole number from 0");
        break;
    case 'B':
        if (value.empty())
            return Result::failure("--db needs a file or a postgresql:// URI");
        if (const Result checked = check_database_name(value); !checked)
            return checked;
        options->db = value;
        break;
    case 'H':
        if (const Result checked = check_http(value); !checked)
            return checked;
        options->http = value;
        break;
    case 'N':
        if (value.empty())
            return Result::failure("--station needs a name");
        options->station_name = value;
        break;
    }
    return Result::ok();
}

// What the options mean together.
Result check_combinations(const GivenWords& given, StationSettings* options)
{
    if (options->passes > 1 && options->duration_s > 0)
        return Result::failure("--passes and --duration both end a burn-in; give one");
    if (options->stop_at_failure && !options->burn_in())
        return Result::failure("--stop-at-failure goes with a burn-in (--passes or --duration)");
    if (options->append && options->json_path.empty())
        return Result::failure("--append goes with --json");
    if (!options->station_name.empty() && options->db.empty())
        return Result::failure("--station goes with --db");
    if (given.power_on.empty() != given.power_off.empty())
        return Result::failure("--power-on and --power-off go together: the station switches boards both ways");
    if (given.power_on.empty() && (given.power_shell || given.power_tuned))
        return Result::failure("--power-shell, --power-cycle-wait, --power-timeout and --keep-power go with "
                               "--power-on and --power-off");
    if (!given.power_on.empty()) {
        if (const Result parsed = options->power_on.parse("--power-on", given.power_on, given.power_shell); !parsed)
            return parsed;
        if (const Result parsed = options->power_off.parse("--power-off", given.power_off, given.power_shell); !parsed)
            return parsed;
        // The station knows when it powered a board: one that never wakes is hung.
        if (!given.wake)
            options->wake_timeout_s = options->silence_timeout_s;
    }
    return Result::ok();
}

// PORT, PORT=LABEL or PORT=LABEL@SWITCH, from argv[first] on.
Result parse_boards(int first, int argc, char** argv, StationSettings* options)
{
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t at = arg.rfind('@');
        const std::string port_label = arg.substr(0, at);
        const size_t equals = port_label.find('=');
        BoardSpec board{port_label.substr(0, equals),
                        equals == std::string::npos ? port_label : port_label.substr(equals + 1),
                        at == std::string::npos ? "" : arg.substr(at + 1), "", ""};
        if (board.port.empty() || board.label.empty() || (at != std::string::npos && board.power_switch.empty()))
            return Result::failure("bad board '" + arg + "': expected PORT, PORT=LABEL or PORT=LABEL@SWITCH");
        if (const Result checked = check_board(board, arg, *options); !checked)
            return checked;
        for (const PowerCommandLine* line : {&options->power_on, &options->power_off})
            if (line->uses_switch() && board.power_switch.empty())
                return Result::failure("board '" + arg + "' has no switch for {switch} in " + line->option() +
                                       ": give it as PORT=LABEL@SWITCH");
        for (const BoardSpec& other : options->boards) {
            if (other.label == board.label)
                return Result::failure("two boards are labelled '" + board.label + "'");
            if (log_name_of(other.label) == log_name_of(board.label))
                return Result::failure("the labels '" + other.label + "' and '" + board.label +
                                       "' would share the log " + log_name_of(board.label) +
                                       ".log: give labels that differ in a letter or digit");
        }
        options->boards.push_back(board);
    }
    return Result::ok();
}

} // namespace

Result parse_station_options(int argc, char** argv, StationSettings* options)
{
    opterr = 0;
    optind = 1;
    GivenWords given;
    for (int c; (c = getopt_long(argc, argv, "", LONG_OPTIONS, nullptr)) != -1;) {
        if (c == 'h') {
            options->help = true;
            return Result::ok();
        }
        if (c == '?')
            return Result::failure(option_problem(argv[optind - 1], LONG_OPTIONS) + " (korvastation --help lists them)");
        if (const Result taken = take_option(c, optarg ? optarg : "", options, &given); !taken)
            return taken;
    }
    if (const Result checked = check_combinations(given, options); !checked)
        return checked;
    if (const Result parsed = parse_boards(optind, argc, argv, options); !parsed)
        return parsed;
    if (options->boards.empty())
        return Result::failure("no board to test: name at least one PORT");
    return check_outputs(*options);
}

} // namespace korvastation

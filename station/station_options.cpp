#include "station/station_options.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <getopt.h>

namespace korvastation {

using korvasim::Result;

const char STATION_USAGE[] =
    "Usage: korvastation [options] PORT[=LABEL][@SWITCH]...\n"
    "       korvastation report --db FILE|URI [options]   (report --help)\n"
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
    "  --junit FILE           Write a JUnit XML report.\n"
    "  --json FILE            Write one JSON record per board, a line each.\n"
    "  --append               Add to the JSON file instead of replacing it.\n"
    "  --dudedoved PATH       The dudedoved to run (default: the one installed).\n"
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

std::string log_name_of(const std::string& label)
{
    std::string name;
    for (char c : label)
        name += (isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') ? c : '_';
    return name;
}

bool parse_duration(const std::string& text, double* seconds)
{
    char* end = nullptr;
    const double value = strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || !std::isfinite(value) || value <= 0)
        return false;
    const std::string unit = end;
    const double scale = unit.empty() || unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : 0;
    if (scale == 0)
        return false;
    *seconds = value * scale;
    return true;
}

namespace {

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

Result parse_station_options(int argc, char** argv, StationOptions* options)
{
    static const option long_options[] = {
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
        {nullptr, 0, nullptr, 0}};
    opterr = 0;
    optind = 1;
    std::string power_on, power_off;
    bool power_shell = false, power_tuned = false, wake_given = false;
    int c;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        const std::string value = optarg ? optarg : "";
        switch (c) {
        case 'd':
            options->log_dir = value;
            break;
        case 'w':
            if (!parse_duration(value, &options->wake_timeout_s))
                return Result::failure("bad --wake-timeout '" + value + "': expected seconds, such as 60");
            wake_given = true;
            break;
        case 's':
            if (!parse_duration(value, &options->silence_timeout_s))
                return Result::failure("bad --silence-timeout '" + value + "': expected seconds, such as 30");
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
            options->db = value;
            break;
        case 'H':
            options->http = value;
            break;
        case 'N':
            if (value.empty())
                return Result::failure("--station needs a name");
            options->station_name = value;
            break;
        case 'O':
            power_on = value;
            break;
        case 'F':
            power_off = value;
            break;
        case 'S':
            power_shell = true;
            break;
        case 'W':
            if (value != "0" && !parse_duration(value, &options->power_cycle_wait_s))
                return Result::failure("bad --power-cycle-wait '" + value + "': expected seconds, such as 2");
            if (value == "0")
                options->power_cycle_wait_s = 0;
            power_tuned = true;
            break;
        case 'T':
            if (!parse_duration(value, &options->power_timeout_s))
                return Result::failure("bad --power-timeout '" + value + "': expected seconds, such as 30");
            power_tuned = true;
            break;
        case 'k':
            options->keep_power = true;
            power_tuned = true;
            break;
        case 't':
            if (!parse_duration(value, &options->duration_s))
                return Result::failure("bad --duration '" + value + "': expected a time such as 90s, 30m or 8h");
            break;
        case 'j':
            options->junit_path = value;
            break;
        case 'J':
            options->json_path = value;
            break;
        case 'a':
            options->append = true;
            break;
        case 'D':
            options->dudedoved = value;
            break;
        case 'h':
            options->help = true;
            return Result::ok();
        default:
            return Result::failure(std::string("unknown option '") + argv[optind - 1] +
                                   "' (korvastation --help lists them)");
        }
    }
    if (options->passes > 1 && options->duration_s > 0)
        return Result::failure("--passes and --duration both end a burn-in; give one");
    if (options->append && options->json_path.empty())
        return Result::failure("--append goes with --json");
    if (!options->station_name.empty() && options->db.empty())
        return Result::failure("--station goes with --db");
    if (power_on.empty() != power_off.empty())
        return Result::failure("--power-on and --power-off go together: the station switches boards both ways");
    if (power_on.empty() && (power_shell || power_tuned))
        return Result::failure("--power-shell, --power-cycle-wait, --power-timeout and --keep-power go with "
                               "--power-on and --power-off");
    if (!power_on.empty()) {
        if (const Result parsed = options->power_on.parse("--power-on", power_on, power_shell); !parsed)
            return parsed;
        if (const Result parsed = options->power_off.parse("--power-off", power_off, power_shell); !parsed)
            return parsed;
        // The station knows when it powered a board: one that never wakes is hung.
        if (!wake_given)
            options->wake_timeout_s = options->silence_timeout_s;
    }
    for (int i = optind; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t at = arg.rfind('@');
        const std::string port_label = arg.substr(0, at);
        const size_t equals = port_label.find('=');
        BoardSpec board{port_label.substr(0, equals),
                        equals == std::string::npos ? port_label : port_label.substr(equals + 1),
                        at == std::string::npos ? "" : arg.substr(at + 1)};
        if (board.port.empty() || board.label.empty() || (at != std::string::npos && board.power_switch.empty()))
            return Result::failure("bad board '" + arg + "': expected PORT, PORT=LABEL or PORT=LABEL@SWITCH");
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
    if (options->boards.empty())
        return Result::failure("no board to test: name at least one PORT");
    return Result::ok();
}

} // namespace korvastation

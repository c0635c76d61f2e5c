#include "station/station_options.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <getopt.h>

namespace korvastation {

using korvasim::Result;

const char STATION_USAGE[] =
    "Usage: korvastation [options] PORT[=LABEL]...\n"
    "\n"
    "Tests several Korva boards at once, one dudedoved per port, with time-outs,\n"
    "burn-in and machine-readable records. PORT is what dudedoved -p takes; LABEL\n"
    "(a serial number or fixture name) goes into every record.\n"
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

Result parse_station_options(int argc, char** argv, StationOptions* options)
{
    static const option long_options[] = {
        {"log-dir", required_argument, nullptr, 'd'},   {"wake-timeout", required_argument, nullptr, 'w'},
        {"silence-timeout", required_argument, nullptr, 's'}, {"passes", required_argument, nullptr, 'n'},
        {"duration", required_argument, nullptr, 't'},  {"junit", required_argument, nullptr, 'j'},
        {"json", required_argument, nullptr, 'J'},      {"append", no_argument, nullptr, 'a'},
        {"dudedoved", required_argument, nullptr, 'D'}, {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    opterr = 0;
    optind = 1;
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
            break;
        case 's':
            if (!parse_duration(value, &options->silence_timeout_s))
                return Result::failure("bad --silence-timeout '" + value + "': expected seconds, such as 30");
            break;
        case 'n': {
            char* end = nullptr;
            const long n = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || n < 1 || n > 100000000)
                return Result::failure("bad --passes '" + value + "': expected a whole number from 1");
            options->passes = n;
            break;
        }
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
    for (int i = optind; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t equals = arg.find('=');
        BoardSpec board{arg.substr(0, equals), equals == std::string::npos ? arg : arg.substr(equals + 1)};
        if (board.port.empty() || board.label.empty())
            return Result::failure("bad board '" + arg + "': expected PORT or PORT=LABEL");
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

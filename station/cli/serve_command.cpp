#include "station/cli/serve_command.h"

#include <cstdio>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include "station/run/user_messages.h"
#include "station/serve/served_station.h"

namespace korvastation {

using korvasim::Result;

const char SERVE_USAGE[] =
    "Usage: korvastation serve --config FILE [--operator NAME] [--on-attempt CMD]\n"
    "\n"
    "Serves the fixtures of FILE (TOML) until stopped: each fixture tests the\n"
    "board whose serial number is scanned into it (the fixture's label, then\n"
    "the board's; the board's alone with one fixture), shows its verdict until\n"
    "the next scan, and records every attempt as it ends: the day's folder of\n"
    "records and logs, the database, and CMD if given. Scans come from the\n"
    "terminal, one a line, and from the operator's page.\n"
    "  --config FILE       The station's setup: see korvastation(1).\n"
    "  --operator NAME     Who works the station, in every record (the page can\n"
    "                      change it).\n"
    "  --on-attempt CMD    Run CMD with sh -c for each finished attempt, its JSON\n"
    "                      record on its standard input; never waited for.\n";

Result parse_serve_options(int argc, char** argv, ServeRequest* request)
{
    static const option long_options[] = {
        {"config", required_argument, nullptr, 'c'}, {"operator", required_argument, nullptr, 'o'},
        {"on-attempt", required_argument, nullptr, 'a'}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    optind = 0;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":h", long_options, nullptr)) != -1) {
        switch (c) {
        case 'c': request->config_path = optarg; break;
        case 'o': request->operator_name = optarg; break;
        case 'a': request->on_attempt = optarg; break;
        case 'h': request->help = true; break;
        case ':': return Result::failure(std::string(argv[optind - 1]) + " needs a value");
        default: return Result::failure("unknown option " + std::string(argv[optind - 1]) + " (see korvastation serve --help)");
        }
    }
    if (optind < argc)
        return Result::failure("unexpected '" + std::string(argv[optind]) + "' (see korvastation serve --help)");
    if (!request->help && request->config_path.empty())
        return Result::failure("serve needs --config FILE (see korvastation serve --help)");
    return Result::ok();
}

int run_serve(int argc, char** argv, const std::atomic<int>& interrupts)
{
    ServeRequest request;
    if (const Result parsed = parse_serve_options(argc, argv, &request); !parsed) {
        tell_user(parsed.why());
        return EXIT_UNTESTED;
    }
    if (request.help) {
        fputs(SERVE_USAGE, stdout);
        return 0;
    }
    ServeConfig config;
    if (const Result loaded = load_serve_config(request.config_path, &config); !loaded) {
        tell_user(loaded.why());
        return EXIT_UNTESTED;
    }
    if (!request.operator_name.empty()) {
        config.operator_name = request.operator_name;
        config.operator_given = true;
    }
    if (!request.on_attempt.empty())
        config.on_attempt = request.on_attempt;
    // The terminal's scans are read a piece at a time, never waited for;
    // the terminal is shared with the shell, which gets its flags back.
    const int stdin_flags = fcntl(STDIN_FILENO, F_GETFL);
    if (stdin_flags >= 0)
        fcntl(STDIN_FILENO, F_SETFL, stdin_flags | O_NONBLOCK);
    int status = EXIT_UNTESTED;
    {
        ServedStation station(std::move(config), stdout, STDIN_FILENO);
        if (const Result opened = station.open(); !opened) {
            tell_user(opened.why());
        } else {
            tell_user("serving until stopped (CTRL-C or SIGTERM)");
            status = station.run(interrupts);
        }
    }
    if (stdin_flags >= 0)
        fcntl(STDIN_FILENO, F_SETFL, stdin_flags);
    return status;
}

} // namespace korvastation

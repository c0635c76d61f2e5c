// korvasim: the Korva board on a pseudo-terminal, for dudedoved or any
// terminal program to talk to.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <getopt.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "board.h"
#include "boot_image.h"
#include "cell_coverage.h"
#include "coupling_coverage.h"
#include "coverage.h"
#include "coverage_page.h"
#include "diagnosis.h"
#include "gdb_server.h"
#include "parallel.h"
#include "pty_front_end.h"
#include "read_limited.h"

namespace {

using namespace korvasim;

std::atomic<bool> stop_requested{false};

void on_signal(int)
{
    stop_requested = true;
}

const char USAGE[] =
    "Usage: korvasim [--link PATH] [--fault SPEC]... [--wake-byte N] [--once]\n"
    "                [--image FILE | --monitor] [--trace FILE]\n"
    "                [--gdb [HOST:]PORT [--gdb-wait]] [--power PATH]\n"
    "       korvasim --coverage[=all] [--format table|csv|json|html] [--image FILE]\n"
    "       korvasim --diagnose LOG [--image FILE]\n"
    "\n"
    "Simulates a Korva board on a pseudo-terminal and prints the terminal's path.\n"
    "\n"
    "  --link PATH     Also make PATH a symbolic link to the terminal.\n"
    "  --fault SPEC    Inject a board fault; repeatable. SPEC is one of\n"
    "                  sram.dN=0|1, sram.dN-dM, sram.aN=0|1, sram.aN-aM, sram.absent,\n"
    "                  sram.cell:OFFSET.BIT=0|1, sram.couple:A.B=V>C.D=W,\n"
    "                  the same for sdram, flash.qK.F=VALUE or flash.busy.\n"
    "  --wake-byte N   The loader's wake-up byte (0-255, default 0).\n"
    "  --once          Serve one host session, then exit.\n"
    "  --power PATH    Make PATH a named pipe that switches the board: echo on or\n"
    "                  echo off into it. Opening the port then powers nothing, and\n"
    "                  the board stays powered across host sessions.\n"
    "  --image FILE    Boot FILE when a host opens the port, without the loader.\n"
    "  --monitor       Boot the board monitor that korvasim carries (the installed\n"
    "                  lib/korva/boot_image.bin) when a host opens the port, without\n"
    "                  the loader: a monitor to drive from a terminal.\n"
    "  --trace FILE    Write one line per device register access to FILE.\n"
    "  --gdb [HOST:]PORT  Serve a debugger (gdb's target remote) on this TCP port,\n"
    "                  on 127.0.0.1 unless HOST is given.\n"
    "  --gdb-wait      Hold each board before its first instruction until the\n"
    "                  debugger continues it.\n"
    "  --coverage      Run the three tests once for every single fault of the\n"
    "                  simulator and report which ones they catch.\n"
    "  --coverage=all  Also coverage by fault model: every stuck bit of every SRAM\n"
    "                  and SDRAM cell, decided exactly from one run.\n"
    "  --format F      The coverage report as a table (default), csv, json or html\n"
    "                  (one page, with a picture of the cells each memory test reads).\n"
    "  --diagnose LOG  Name the single faults that explain the failed board in LOG,\n"
    "                  a log written by dudedoved -v -l.\n";

int fail(const std::string& message)
{
    fprintf(stderr, "korvasim: %s\n", message.c_str());
    return 1;
}

bool parse_byte(const char* text, uint8_t* value)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long n = strtoul(text, &end, 0);
    if (*text == '\0' || *end != '\0' || errno != 0 || n > 255)
        return false;
    *value = static_cast<uint8_t>(n);
    return true;
}


const int COVERAGE_BUDGET_MS = 2000;

unsigned worker_threads()
{
    return std::max(1u, std::thread::hardware_concurrency());
}

// Cells whose fault is both worked out and simulated, per memory.
const size_t CELL_CROSS_CHECKS = 200;
const uint32_t CELL_SAMPLE_SEED = 2026;

// The cell faults of both memories, worked out from one run each and
// checked against simulated runs of a sample; a disagreement is a failure.
Result cell_fault_rows(const std::vector<uint8_t>& image, const std::vector<const CellCoverage*>& memories,
                       std::vector<ModelRow>* rows)
{
    for (const CellCoverage* memory : memories) {
        const CellCoverage& cells = *memory;
        const bool sdram = cells.sdram();
        const std::vector<CellFault> sample = cells.sample(CELL_CROSS_CHECKS, CELL_SAMPLE_SEED);
        std::vector<int> disagrees(sample.size(), 0);
        parallel_for(sample.size(), worker_threads(), [&](size_t i) {
            const TestOutcome o = run_board_test(image, catalogue_faults(cells.spec(sample[i])),
                                                 sdram ? COMMAND_SDRAM_TEST : COMMAND_SRAM_TEST, false,
                                                 COVERAGE_BUDGET_MS);
            disagrees[i] = !o.answered || (o.code != 0) != cells.catches(sample[i]);
        });
        for (size_t i = 0; i < sample.size(); ++i)
            if (disagrees[i])
                return Result::failure("the worked-out cell coverage disagrees with a simulated run for " +
                                       cells.spec(sample[i]));
        rows->push_back({cells.part(), "cell bit stuck at 0 or 1", cells.faults(), cells.caught(),
                         "exact from one run (" + std::to_string(cells.cells_read()) + " of " +
                             std::to_string(cells.cells()) + " cells read); " +
                             std::to_string(sample.size()) + " cells cross-checked by simulation"});
    }
    return Result::ok();
}

// Coupling faults simulated per memory, drawn with a fixed seed.
const size_t COUPLING_SAMPLE = 400;
const uint32_t COUPLING_SEED = 2026;

std::vector<ModelRow> coupling_rows(const std::vector<uint8_t>& image)
{
    std::vector<ModelRow> rows;
    for (bool sdram : {true, false}) {
        const SampledCoverage c =
            sample_coupling_coverage(image, sdram, COUPLING_SAMPLE, COUPLING_SEED, COVERAGE_BUDGET_MS, worker_threads());
        char method[200];
        snprintf(method, sizeof method, "sampled: %zu of %.3g, seed %u; 95%% interval %.3g%% to %.3g%%", c.sampled,
                 c.population, COUPLING_SEED, 100 * c.low, 100 * c.high);
        rows.push_back({sdram ? "SDRAM" : "SRAM", "two cells coupled", c.sampled, c.caught, method});
    }
    return rows;
}

int coverage(const std::vector<uint8_t>& image, const std::string& format, bool all)
{
    // Coverage means nothing unless the board without faults passes.
    for (int t = 0; t < 3; ++t) {
        const TestOutcome o = run_board_test(image, {}, TEST_COMMANDS[t], false, COVERAGE_BUDGET_MS);
        if (!o.answered || o.code != 0)
            return fail(std::string("the image does not pass the ") + TEST_NAMES[t] +
                        " test on a board without faults (" +
                        (o.answered ? "result " + std::to_string(o.code) : "no answer") +
                        "): no coverage to report");
    }
    const auto rows = run_coverage(image, fault_catalogue(), COVERAGE_BUDGET_MS, worker_threads());
    std::unique_ptr<CellCoverage> sdram_cells, sram_cells;
    std::vector<const CellCoverage*> cells;
    if (all || format == "html") {
        try {
            sdram_cells = std::make_unique<CellCoverage>(image, true, COVERAGE_BUDGET_MS);
            sram_cells = std::make_unique<CellCoverage>(image, false, COVERAGE_BUDGET_MS);
        } catch (const std::exception& e) {
            return fail(e.what());
        }
        cells = {sdram_cells.get(), sram_cells.get()};
    }
    if (!all && format == "html") {
        print_coverage_html(stdout, rows, {}, {}, cells);
        return 0;
    }
    if (all) {
        std::vector<ModelRow> models = line_fault_rows(rows);
        const bool terminal = isatty(STDERR_FILENO);
        const std::vector<PairCoverage> pairs =
            run_pair_coverage(image, COVERAGE_BUDGET_MS, worker_threads(), [terminal](size_t done, size_t total) {
                if (terminal && (done % 100 == 0 || done == total))
                    fprintf(stderr, "\rpairs of line faults: %zu of %zu%s", done, total, done == total ? "\n" : "");
            });
        for (const ModelRow& m : pair_rows(pairs))
            models.push_back(m);
        if (const Result checked = cell_fault_rows(image, cells, &models); !checked)
            return fail(checked.why());
        for (const ModelRow& m : coupling_rows(image))
            models.push_back(m);
        if (format == "csv") {
            print_model_csv(stdout, models);
        } else if (format == "html") {
            print_coverage_html(stdout, rows, models, pairs, cells);
        } else if (format == "json") {
            print_all_json(stdout, rows, models, pairs);
        } else {
            print_coverage_table(stdout, rows);
            fputs("\n", stdout);
            print_model_table(stdout, models);
            print_masking_pairs(stdout, pairs);
        }
        return 0;
    }
    if (format == "csv")
        print_coverage_csv(stdout, rows);
    else if (format == "json")
        print_coverage_json(stdout, rows);
    else
        print_coverage_table(stdout, rows);
    return 0;
}

int diagnosis(const std::vector<uint8_t>& image, const std::string& log_path)
{
    std::string text;
    if (const Result read = read_limited("log", log_path, LOG_LIMIT, &text); !read)
        return fail(read.why());
    if (text.size() > LOG_LIMIT)
        return fail(log_path + " is larger than 16 MiB; a verbose log of one run is far smaller");
    std::vector<LoggedTest> tests;
    const Result parsed = parse_verbose_log(text, &tests);
    if (!parsed)
        return fail(log_path + ": " + parsed.why());
    bool failed = false;
    for (const LoggedTest& t : tests)
        failed = failed || !t.passed;
    if (!failed) {
        printf("%s: every test passed; nothing to diagnose\n", log_path.c_str());
        return 0;
    }
    const Diagnosis d = diagnose(image, tests, worker_threads());
    if (d.matches.empty()) {
        printf("No single fault explains %s.\n", log_path.c_str());
        if (!d.closest.empty())
            printf("Closest: %s; first difference in the %s.\n", d.closest.c_str(),
                   d.first_difference.c_str());
        return 1;
    }
    printf("%s matches:\n", log_path.c_str());
    for (const CatalogueFault& f : d.matches)
        printf("  %s (--fault %s)\n", f.name.c_str(), f.spec.c_str());
    return 0;
}

// A path as an absolute name, its directory resolved against dir (and
// symbolic links in it), its last component kept: the link itself.
std::string link_name(const std::string& path, const std::string& dir)
{
    const std::string full = path[0] == '/' ? path : dir + "/" + path;
    const size_t slash = full.rfind('/');
    char real[PATH_MAX];
    const std::string parent = slash == 0 ? "/" : full.substr(0, slash);
    std::string resolved = realpath(parent.c_str(), real) ? real : parent;
    if (resolved.back() == '/')
        resolved.pop_back();
    return resolved + full.substr(slash);
}

// Whether process pid is a korvasim that made link: its --link argument
// names the same file.
bool made_link(const std::string& proc, const std::string& link)
{
    char cwd[PATH_MAX] = {};
    if (readlink((proc + "/cwd").c_str(), cwd, sizeof cwd - 1) <= 0)
        return true;  // cannot tell: take it as the link's maker
    std::ifstream in(proc + "/cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string arg; std::getline(in, arg, '\0');)
        args.push_back(arg);
    for (size_t i = 0; i < args.size(); ++i) {
        std::string value;
        if (args[i] == "--link" && i + 1 < args.size())
            value = args[i + 1];
        else if (args[i].rfind("--link=", 0) == 0)
            value = args[i].substr(7);
        if (!value.empty() && link_name(value, cwd) == link)
            return true;
    }
    return false;
}

// The running korvasim (other than this one) that holds the master side of
// /dev/pts/N and made link, or 0. A pty number is reused as soon as it is
// free, so another simulator on the same pty does not own the link.
pid_t simulator_owning(const std::string& pts, const std::string& link)
{
    const std::string index = pts.substr(pts.rfind('/') + 1);
    DIR* proc = opendir("/proc");
    if (!proc)
        return 0;
    pid_t owner = 0;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        if (pid <= 0 || pid == getpid() || owner)
            continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        std::string comm;
        if (!std::getline(std::ifstream(base + "/comm"), comm) || comm != "korvasim")
            continue;
        DIR* fds = opendir((base + "/fd").c_str());
        if (!fds)
            continue;
        bool holds = false;
        while (dirent* fd = readdir(fds)) {
            char target[64] = {};
            const std::string path = base + "/fd/" + fd->d_name;
            if (readlink(path.c_str(), target, sizeof target - 1) <= 0 ||
                std::string(target).find("ptmx") == std::string::npos)
                continue;
            std::ifstream info(base + "/fdinfo/" + fd->d_name);
            for (std::string line; std::getline(info, line);)
                holds = holds || (line.rfind("tty-index:", 0) == 0 &&
                                  std::to_string(atoi(line.c_str() + 10)) == index);
        }
        closedir(fds);
        if (holds && made_link(base, link))
            owner = pid;
    }
    closedir(proc);
    return owner;
}

// Makes link lead to the pty. Only a missing path, a dangling link or a link
// to the pty of a simulator that is gone is replaced.
Result make_link(const std::string& link, const std::string& pty)
{
    const std::string refused = "cannot use --link " + link + ": ";
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            return Result::failure(refused + "it exists and is not a symbolic link");
        char buffer[PATH_MAX] = {};
        const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
        const std::string target(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        struct stat dest;
        const bool dangling = stat(link.c_str(), &dest) != 0;
        if (!dangling && target.rfind("/dev/pts/", 0) != 0)
            return Result::failure(refused + "it leads to " + target + ", not to a simulated board");
        if (!dangling) {
            char cwd[PATH_MAX] = {};
            const std::string here = getcwd(cwd, sizeof cwd) ? cwd : ".";
            if (const pid_t pid = simulator_owning(target, link_name(link, here)))
                return Result::failure(refused + "it leads to the port of korvasim (PID " +
                                       std::to_string(pid) + "), which is still running");
        }
        unlink(link.c_str());
    }
    if (symlink(pty.c_str(), link.c_str()) != 0)
        return Result::failure("cannot create link " + link + ": " + strerror(errno));
    return Result::ok();
}

// Removes link only while it still leads to this simulator's pty.
void remove_link(const std::string& link, const std::string& pty)
{
    char buffer[PATH_MAX] = {};
    if (readlink(link.c_str(), buffer, sizeof buffer - 1) > 0 && pty == buffer)
        unlink(link.c_str());
}

void report_session(const korvasim::SessionReport& report)
{
    if (report.image_refused)
        fprintf(stderr, "korvasim: image refused: more than the %u bytes of boot RAM; the board "
                        "stayed silent until the port was closed\n", BOOT_RAM_SIZE);
    if (!report.undefined_access.empty())
        fprintf(stderr, "korvasim: %s\n", report.undefined_access.c_str());
    if (!report.power_complaint.empty())
        fprintf(stderr, "korvasim: %s\n", report.power_complaint.c_str());
    if (!report.board_fault.empty())
        fprintf(stderr, "korvasim: the board stopped: %s\n", report.board_fault.c_str());
    if (report.dropped_bytes > 0)
        fprintf(stderr, "korvasim: the host did not read %llu bytes of the board's output; "
                        "they were dropped\n", static_cast<unsigned long long>(report.dropped_bytes));
}

// What the command line asks for.
struct CommandLine {
    FrontEndOptions settings;
    std::string link, trace_path, power_path, format = "table", diagnose_log;
    bool run_coverage = false, coverage_all = false, diagnose_given = false, format_given = false;
    std::string gdb_host;
    uint16_t gdb_port = 0;
    bool gdb = false, gdb_wait = false;
    // Options that only a simulated board on a pty uses, as the user spelled them.
    std::vector<std::string> board_options;
};

// Reads the options into command. Returns -1 to go on, else the exit status
// (after the usage text or a one-line error).
int parse_command_line(int argc, char** argv, CommandLine* command)
{
    static const option options[] = {
        {"link", required_argument, nullptr, 'L'},  {"fault", required_argument, nullptr, 'f'},
        {"wake-byte", required_argument, nullptr, 'w'}, {"once", no_argument, nullptr, 'o'},
        {"image", required_argument, nullptr, 'i'}, {"trace", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},        {"coverage", optional_argument, nullptr, 'C'},
        {"format", required_argument, nullptr, 'F'}, {"diagnose", required_argument, nullptr, 'D'},
        {"gdb", required_argument, nullptr, 'g'},   {"gdb-wait", no_argument, nullptr, 'W'},
        {"power", required_argument, nullptr, 'P'}, {"monitor", no_argument, nullptr, 'm'},
        {nullptr, 0, nullptr, 0}};
    FrontEndOptions& settings = command->settings;
    std::vector<std::string>& board_options = command->board_options;
    bool image_given = false, monitor_given = false;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        switch (c) {
        case 'L':
            command->link = optarg;
            if (command->link.empty())
                return fail("--link needs a path");
            board_options.push_back("--link");
            break;
        case 'f':
            if (const Result added = add_fault(optarg, settings.faults); !added)
                return fail(added.why());
            board_options.push_back("--fault");
            break;
        case 'w':
            if (!parse_byte(optarg, &settings.wake_byte))
                return fail(std::string("bad wake-up byte '") + optarg + "': expected 0 to 255");
            board_options.push_back("--wake-byte");
            break;
        case 'o':
            settings.once = true;
            board_options.push_back("--once");
            break;
        case 'i': {
            std::string image;
            if (const Result read = read_limited("image", optarg, BOOT_RAM_SIZE, &image); !read)
                return fail(read.why());
            const std::string ram = std::to_string(BOOT_RAM_SIZE);
            if (image.empty() || image.size() > BOOT_RAM_SIZE)
                return fail(std::string("image ") + optarg + " has " +
                            (image.size() > BOOT_RAM_SIZE ? "more than " + ram : "no") +
                            " bytes; the boot RAM takes 1 to " + ram);
            if (monitor_given)
                return fail("--image and --monitor both name the image; give one");
            settings.image.assign(image.begin(), image.end());
            image_given = true;
            break;
        }
        case 'm':
            if (image_given)
                return fail("--image and --monitor both name the image; give one");
            settings.image.assign(boot_image, boot_image + BOOT_IMAGE_SIZE);
            monitor_given = true;
            board_options.push_back("--monitor");
            break;
        case 't':
            command->trace_path = optarg;
            if (command->trace_path.empty())
                return fail("--trace needs a file name");
            board_options.push_back("--trace");
            break;
        case 'g':
            if (const Result parsed = parse_gdb_address(optarg, &command->gdb_host, &command->gdb_port);
                !parsed)
                return fail("bad --gdb address: " + parsed.why());
            command->gdb = true;
            board_options.push_back("--gdb");
            break;
        case 'P':
            command->power_path = optarg;
            if (command->power_path.empty())
                return fail("--power needs a path");
            board_options.push_back("--power");
            break;
        case 'W':
            command->gdb_wait = true;
            board_options.push_back("--gdb-wait");
            break;
        case 'C':
            command->run_coverage = true;
            if (optarg && std::string(optarg) != "all")
                return fail(std::string("bad --coverage '") + optarg + "': expected --coverage or --coverage=all");
            command->coverage_all = optarg != nullptr;
            break;
        case 'F':
            command->format = optarg;
            command->format_given = true;
            if (command->format != "table" && command->format != "csv" && command->format != "json" &&
                command->format != "html")
                return fail("bad format '" + command->format + "': expected table, csv, json or html");
            break;
        case 'D':
            command->diagnose_log = optarg;
            command->diagnose_given = true;
            break;
        case 'h':
            fputs(USAGE, stdout);
            return 0;
        default: {
            // getopt_long leaves the word it could not take just before optind.
            const std::string word = argv[optind - 1];
            const bool known = std::any_of(std::begin(options), std::end(options) - 1, [&](const option& o) {
                return word == std::string("--") + o.name;
            });
            fprintf(stderr, known ? "korvasim: option '%s' needs a value\n" : "korvasim: unknown option '%s'\n",
                    word.c_str());
            fputs(USAGE, stderr);
            return 1;
        }
        }
    }
    if (optind != argc) {
        fprintf(stderr, "korvasim: unexpected argument '%s'\n", argv[optind]);
        fputs(USAGE, stderr);
        return 1;
    }
    if (command->run_coverage && command->diagnose_given)
        return fail("--coverage and --diagnose are two modes; give one");
    if (command->gdb_wait && !command->gdb)
        return fail("--gdb-wait goes with --gdb");
    if (command->format_given && !command->run_coverage)
        return fail("--format goes with --coverage");
    if ((command->run_coverage || command->diagnose_given) && !board_options.empty())
        return fail(board_options.front() + " has no effect with " +
                    (command->run_coverage ? "--coverage" : "--diagnose"));
    return -1;
}

// The simulated board on a pty, one session after another, until a signal.
int serve(CommandLine& command)
{
    FrontEndOptions& settings = command.settings;
    if (!command.trace_path.empty()) {
        settings.trace = fopen(command.trace_path.c_str(), "w");
        if (!settings.trace)
            return fail("cannot write trace " + command.trace_path + ": " + strerror(errno));
    }

    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        std::unique_ptr<GdbServer> debugger;
        if (command.gdb) {
            debugger = std::make_unique<GdbServer>(
                command.gdb_host, command.gdb_port, command.gdb_wait, [](const std::string& news) {
                    fprintf(stderr, "korvasim: %s\n", news.c_str());
                });
            fprintf(stderr, "korvasim: debugger port %s%s\n", debugger->address().c_str(),
                    command.gdb_wait ? "; each board waits at reset for the debugger" : "");
            if (!debugger->loopback())
                fprintf(stderr, "korvasim: warning: the debugger port %s is open beyond this machine: "
                                "anyone who reaches it can read, write and run the board\n",
                        debugger->address().c_str());
            settings.debugger = debugger.get();
        }
        std::unique_ptr<PowerSwitch> power;
        if (!command.power_path.empty()) {
            power = std::make_unique<PowerSwitch>(command.power_path);
            settings.power = power.get();
        }
        PtyFrontEnd pty;
        if (!command.link.empty()) {
            if (const Result linked = make_link(command.link, pty.slave_path()); !linked)
                return fail(linked.why());
        }
        printf("%s\n", pty.slave_path().c_str());
        fflush(stdout);
        pty.run(settings, stop_requested, report_session);
        if (!command.link.empty())
            remove_link(command.link, pty.slave_path());
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    if (settings.trace)
        fclose(settings.trace);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    CommandLine command;
    const int status = parse_command_line(argc, argv, &command);
    if (status >= 0)
        return status;
    if (!command.run_coverage && !command.diagnose_given)
        return serve(command);
    std::vector<uint8_t> image = command.settings.image;
    if (image.empty())
        image.assign(boot_image, boot_image + BOOT_IMAGE_SIZE);
    return command.run_coverage ? coverage(image, command.format, command.coverage_all)
                                : diagnosis(image, command.diagnose_log);
}

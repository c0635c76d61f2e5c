// korvasim: the Korva board on a pseudo-terminal, for dudedoved or any
// terminal program to talk to.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <getopt.h>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "board.h"
#include "boot_image.h"
#include "coverage.h"
#include "diagnosis.h"
#include "pty_front_end.h"

namespace {

std::atomic<bool> stop_requested{false};

void on_signal(int)
{
    stop_requested = true;
}

const char USAGE[] =
    "Usage: korvasim [--link PATH] [--fault SPEC]... [--wake-byte N] [--once]\n"
    "                [--image FILE] [--trace FILE]\n"
    "       korvasim --coverage [--format table|csv|json] [--image FILE]\n"
    "       korvasim --diagnose LOG [--image FILE]\n"
    "\n"
    "Simulates a Korva board on a pseudo-terminal and prints the terminal's path.\n"
    "\n"
    "  --link PATH     Also make PATH a symbolic link to the terminal.\n"
    "  --fault SPEC    Inject a board fault; repeatable. SPEC is one of\n"
    "                  sram.dN=0|1, sram.dN-dM, sram.aN=0|1, sram.aN-aM, sram.absent,\n"
    "                  the same for sdram, flash.qK.F=VALUE or flash.busy.\n"
    "  --wake-byte N   The loader's wake-up byte (0-255, default 0).\n"
    "  --once          Serve one host session, then exit.\n"
    "  --image FILE    Boot FILE when a host opens the port, without the loader.\n"
    "  --trace FILE    Write one line per device register access to FILE.\n"
    "  --coverage      Run the three tests once for every single fault of the\n"
    "                  simulator and report which ones they catch.\n"
    "  --format F      The coverage report as a table (default), csv or json.\n"
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

int coverage(const std::vector<uint8_t>& image, const std::string& format)
{
    using namespace korvasim;
    const auto rows = run_coverage(image, fault_catalogue(), COVERAGE_BUDGET_MS, worker_threads());
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
    using namespace korvasim;
    std::ifstream in(log_path, std::ios::binary);
    if (!in)
        return fail("cannot read log " + log_path + ": " + strerror(errno));
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    std::vector<LoggedTest> tests;
    std::string error;
    if (!parse_verbose_log(text, &tests, &error))
        return fail(log_path + ": " + error);
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

} // namespace

int main(int argc, char** argv)
{
    using namespace korvasim;
    static const option options[] = {
        {"link", required_argument, nullptr, 'L'},  {"fault", required_argument, nullptr, 'f'},
        {"wake-byte", required_argument, nullptr, 'w'}, {"once", no_argument, nullptr, 'o'},
        {"image", required_argument, nullptr, 'i'}, {"trace", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},        {"coverage", no_argument, nullptr, 'C'},
        {"format", required_argument, nullptr, 'F'}, {"diagnose", required_argument, nullptr, 'D'},
        {nullptr, 0, nullptr, 0}};
    FrontEndOptions settings;
    std::string link, trace_path, format = "table", diagnose_log;
    bool run_coverage = false;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        std::string error;
        switch (c) {
        case 'L':
            link = optarg;
            break;
        case 'f':
            if (!add_fault(optarg, settings.faults, &error))
                return fail(error);
            break;
        case 'w':
            if (!parse_byte(optarg, &settings.wake_byte))
                return fail(std::string("bad wake-up byte '") + optarg + "': expected 0 to 255");
            break;
        case 'o':
            settings.once = true;
            break;
        case 'i': {
            std::ifstream in(optarg, std::ios::binary);
            if (!in)
                return fail(std::string("cannot read image ") + optarg + ": " + strerror(errno));
            settings.image.assign(std::istreambuf_iterator<char>(in), {});
            if (settings.image.empty() || settings.image.size() > BOOT_RAM_SIZE)
                return fail(std::string("image ") + optarg + " has " +
                            std::to_string(settings.image.size()) +
                            " bytes; the boot RAM takes 1 to 4096");
            break;
        }
        case 't':
            trace_path = optarg;
            break;
        case 'C':
            run_coverage = true;
            break;
        case 'F':
            format = optarg;
            if (format != "table" && format != "csv" && format != "json")
                return fail("bad format '" + format + "': expected table, csv or json");
            break;
        case 'D':
            diagnose_log = optarg;
            break;
        case 'h':
            fputs(USAGE, stdout);
            return 0;
        default:
            fputs(USAGE, stderr);
            return 1;
        }
    }
    if (optind != argc) {
        fputs(USAGE, stderr);
        return 1;
    }
    if (run_coverage || !diagnose_log.empty()) {
        std::vector<uint8_t> image = settings.image;
        if (image.empty())
            image.assign(boot_image, boot_image + BOOT_IMAGE_SIZE);
        return run_coverage ? coverage(image, format) : diagnosis(image, diagnose_log);
    }
    if (!trace_path.empty()) {
        settings.trace = fopen(trace_path.c_str(), "w");
        if (!settings.trace)
            return fail("cannot write trace " + trace_path + ": " + strerror(errno));
    }

    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        PtyFrontEnd pty;
        if (!link.empty()) {
            struct stat st;
            // A link left behind by a killed run is replaced; anything else is kept.
            if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                unlink(link.c_str());
            if (symlink(pty.slave_path().c_str(), link.c_str()) != 0)
                return fail("cannot create link " + link + ": " + strerror(errno));
        }
        printf("%s\n", pty.slave_path().c_str());
        fflush(stdout);
        pty.run(settings, stop_requested);
        if (!link.empty())
            unlink(link.c_str());
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    if (settings.trace)
        fclose(settings.trace);
    return 0;
}

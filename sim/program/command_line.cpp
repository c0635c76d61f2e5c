#include "sim/program/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

#include "firmware/boot_image.h"
#include "sim/board/board.h"
#include "sim/board/faults.h"
#include "sim/gdb/gdb_server.h"
#include "sim/support/read_limited.h"

namespace korvasim {

namespace {

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

} // namespace

int fail(const std::string& message)
{
    fprintf(stderr, "korvasim: %s\n", message.c_str());
    return 1;
}

namespace {

const option OPTIONS[] = {
    {"link", required_argument, nullptr, 'L'},  {"fault", required_argument, nullptr, 'f'},
    {"wake-byte", required_argument, nullptr, 'w'}, {"once", no_argument, nullptr, 'o'},
    {"image", required_argument, nullptr, 'i'}, {"trace", required_argument, nullptr, 't'},
    {"help", no_argument, nullptr, 'h'},        {"coverage", optional_argument, nullptr, 'C'},
    {"format", required_argument, nullptr, 'F'}, {"diagnose", required_argument, nullptr, 'D'},
    {"gdb", required_argument, nullptr, 'g'},   {"gdb-wait", no_argument, nullptr, 'W'},
    {"power", required_argument, nullptr, 'P'}, {"monitor", no_argument, nullptr, 'm'},
    {nullptr, 0, nullptr, 0}};

// The image of --image (a file) or --monitor (the one built in); one of them.
int take_image(int c, const char* path, CommandLine* command, std::string* named_by)
{
    const std::string option = c == 'i' ? "--image" : "--monitor";
    if (!named_by->empty() && *named_by != option)
        return fail("--image and --monitor both name the image; give one");
    *named_by = option;
    FrontEndOptions& settings = command->settings;
    if (c == 'm') {
        settings.image.assign(boot_image, boot_image + BOOT_IMAGE_SIZE);
        command->board_options.push_back("--monitor");
        return -1;
    }
    std::string image;
    if (const Result read = read_limited("image", path, BOOT_RAM_SIZE, &image); !read)
        return fail(read.why());
    const std::string ram = std::to_string(BOOT_RAM_SIZE);
    if (image.empty() || image.size() > BOOT_RAM_SIZE)
        return fail(std::string("image ") + path + " has " + (image.size() > BOOT_RAM_SIZE ? "more than " + ram : "no") +
                    " bytes; the boot RAM takes 1 to " + ram);
    settings.image.assign(image.begin(), image.end());
    return -1;
}

// An option of a simulated board on a pty: -1 to go on, else the exit status.
int take_board_option(int c, const char* arg, CommandLine* command)
{
    FrontEndOptions& settings = command->settings;
    switch (c) {
    case 'L':
        command->link = arg;
        if (command->link.empty())
            return fail("--link needs a path");
        break;
    case 'f':
        if (const Result added = settings.faults.add(arg); !added)
            return fail(added.why());
        break;
    case 'w':
        if (!parse_byte(arg, &settings.wake_byte))
            return fail(std::string("bad wake-up byte '") + arg + "': expected 0 to 255");
        break;
    case 'o': settings.once = true; break;
    case 't':
        command->trace_path = arg;
        if (command->trace_path.empty())
            return fail("--trace needs a file name");
        break;
    case 'g':
        if (const Result parsed = parse_gdb_address(arg, &command->gdb_host, &command->gdb_port); !parsed)
            return fail("bad --gdb address: " + parsed.why());
        command->gdb = true;
        break;
    case 'P':
        command->power_path = arg;
        if (command->power_path.empty())
            return fail("--power needs a path");
        break;
    case 'W': command->gdb_wait = true; break;
    }
    for (const option& o : OPTIONS)
        if (o.val == c && o.name)
            command->board_options.push_back(std::string("--") + o.name);
    return -1;
}

// --coverage, --format and --diagnose: the two modes that run no board.
int take_mode_option(int c, const char* arg, CommandLine* command)
{
    switch (c) {
    case 'C':
        command->run_coverage = true;
        if (arg && std::string(arg) != "all")
            return fail(std::string("bad --coverage '") + arg + "': expected --coverage or --coverage=all");
        command->coverage_all = arg != nullptr;
        break;
    case 'F':
        command->format = arg;
        command->format_given = true;
        if (command->format != "table" && command->format != "csv" && command->format != "json" &&
            command->format != "html")
            return fail("bad format '" + command->format + "': expected table, csv, json or html");
        break;
    case 'D':
        command->diagnose_log = arg;
        command->diagnose_given = true;
        break;
    }
    return -1;
}

// A word that getopt_long could not take (it stands just before optind).
int refuse_word(const std::string& word)
{
    const bool known = std::any_of(std::begin(OPTIONS), std::end(OPTIONS) - 1,
                                   [&](const option& o) { return word == std::string("--") + o.name; });
    fprintf(stderr, known ? "korvasim: option '%s' needs a value\n" : "korvasim: unknown option '%s'\n", word.c_str());
    fputs(USAGE, stderr);
    return 1;
}

int check_modes(const CommandLine& command)
{
    if (command.run_coverage && command.diagnose_given)
        return fail("--coverage and --diagnose are two modes; give one");
    if (command.gdb_wait && !command.gdb)
        return fail("--gdb-wait goes with --gdb");
    if (command.format_given && !command.run_coverage)
        return fail("--format goes with --coverage");
    if ((command.run_coverage || command.diagnose_given) && !command.board_options.empty())
        return fail(command.board_options.front() + " has no effect with " +
                    (command.run_coverage ? "--coverage" : "--diagnose"));
    return -1;
}

} // namespace

int parse_command_line(int argc, char** argv, CommandLine* command)
{
    std::string image_named_by;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "", OPTIONS, nullptr)) != -1;) {
        int status = -1;
        if (c == 'h') {
            fputs(USAGE, stdout);
            return 0;
        }
        if (c == '?')
            return refuse_word(argv[optind - 1]);
        if (c == 'i' || c == 'm')
            status = take_image(c, optarg, command, &image_named_by);
        else if (c == 'C' || c == 'F' || c == 'D')
            status = take_mode_option(c, optarg, command);
        else
            status = take_board_option(c, optarg, command);
        if (status >= 0)
            return status;
    }
    if (optind != argc) {
        fprintf(stderr, "korvasim: unexpected argument '%s'\n", argv[optind]);
        fputs(USAGE, stderr);
        return 1;
    }
    return check_modes(*command);
}

} // namespace korvasim

// The processes the station starts end with it, however it ends, and a power
// command is over when it ends, whatever it leaves behind.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>

#include "tests/station/station_fixture.h"
#include "tests/support/case_name.h"
#include "tests/support/session.h"

namespace {

// The processes whose command line holds word as one of its arguments.
size_t processes_with_argument(const std::string& word)
{
    size_t found = 0;
    DIR* proc = opendir("/proc");
    while (dirent* entry = readdir(proc)) {
        const std::string cmdline = read_file(std::string("/proc/") + entry->d_name + "/cmdline");
        for (size_t start = 0; start < cmdline.size();) {
            const size_t end = std::min(cmdline.find('\0', start), cmdline.size());
            found += cmdline.compare(start, end - start, word) == 0;
            start = end + 1;
        }
    }
    closedir(proc);
    return found;
}

struct EndCase {
    const char* name;
    int signal;
    bool records_written;
};

class StationEndTest : public testing::TestWithParam<EndCase> {};

TEST_P(StationEndTest, TakesItsDudedovedWithIt)
{
    SimulatedBoard board;
    Station station({"--passes", "100000", board.port() + "=soak"});
    ASSERT_TRUE(station.process().wait_stdout("soak: SRAM passed", STATION_TIMEOUT_MS)) << station.process().out();
    ASSERT_EQ(processes_with_argument(board.port()), 1u) << "the station's dudedoved -c";
    station.process().signal(GetParam().signal);
    station.finish();
    EXPECT_TRUE(station.process().wait_until([&] { return processes_with_argument(board.port()) == 0; },
                                             STATION_TIMEOUT_MS))
        << "dudedoved outlived the station";
    if (GetParam().records_written) {
        EXPECT_EQ(station.records().at("soak")["verdict"], "stopped");
    }
}

INSTANTIATE_TEST_SUITE_P(Station, StationEndTest,
                         testing::Values(EndCase{"ItsTerminalClosed", SIGHUP, true},
                                         EndCase{"Killed", SIGKILL, false}),
                         CaseName());

struct PowerCommandCase {
    const char* name;
    std::string power_on;  // after the switch is on; MARK: how long it sleeps
    const char* verdict;
    const char* problem;  // a part of it
};

class PowerCommandTest : public testing::TestWithParam<PowerCommandCase> {};

TEST_P(PowerCommandTest, IsOverWhenItEndsAndLeavesNothingBehind)
{
    const std::string pipe = make_temp_dir() + "/power";
    SimulatedBoard board("", pipe);
    // A figure no other test sleeps (this process's ID), to find what the command left.
    const std::string marker = "4242." + std::to_string(getpid());
    std::string on = "echo on > {switch}; " + GetParam().power_on;
    on.replace(on.find("MARK"), 4, marker);
    Station station({"--power-shell", "--power-on", on.c_str(), "--power-off", "echo off > {switch}",
                     "--power-cycle-wait", "0.2", "--power-timeout", "5", board.port() + "=B1@" + pipe});
    station.finish();
    const auto record = station.records().at("B1");
    EXPECT_EQ(record["verdict"], GetParam().verdict) << station.process().out();
    const std::string problem = record["problem"].is_null() ? "" : record["problem"].get<std::string>();
    EXPECT_EQ(problem.empty(), std::string(GetParam().problem).empty()) << problem;
    EXPECT_NE(problem.find(GetParam().problem), std::string::npos) << problem;
    EXPECT_EQ(processes_with_argument(marker), 0u) << "a power command's child outlived it";
    struct stat log;
    ASSERT_EQ(stat(record["power_log"].get<std::string>().c_str(), &log), 0);
    EXPECT_LT(log.st_size, 80 * 1024) << "the power log is capped";
}

INSTANTIATE_TEST_SUITE_P(
    Station, PowerCommandTest,
    testing::Values(
        PowerCommandCase{"LeavesAChildRunning", "sleep MARK >/dev/null 2>&1 &", "passed", ""},
        PowerCommandCase{"LeavesAChildHoldingItsOutput", "sleep MARK &", "passed", ""},
        PowerCommandCase{"LeavesAChildThatIgnoresSigterm", "(trap '' TERM; sleep MARK) &", "passed", ""},
        PowerCommandCase{"SaysTooMuch", "head -c 3000000 /dev/zero | tr '\\0' x; : MARK", "passed", ""},
        PowerCommandCase{"NeverEnds", "exec sleep MARK", "not tested",
                         "' did not finish in 5 s"}),
    CaseName());

} // namespace

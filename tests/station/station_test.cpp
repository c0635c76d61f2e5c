// korvastation with real korvasim boards: boards in parallel, a faulty one
// diagnosed, a hung one, a lost one, burn-in counts, CTRL-C, the table on a
// terminal, and where it finds its dudedoved.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <sys/stat.h>

#include "tests/station/station_fixture.h"
#include "tests/support/case_name.h"
#include "tests/support/session.h"
#include "tests/support/tmux_terminal.h"

namespace {

TEST(Station, BoardsInParallelAllPass)
{
    SimulatedBoard a, b, c;
    Station station({a.port() + "=A1", b.port() + "=B2", c.port()});
    EXPECT_EQ(station.finish(), 0) << station.process().out() << station.process().err();
    const auto records = station.records();
    ASSERT_EQ(records.size(), 3u);
    for (const auto& [label, record] : records) {
        EXPECT_EQ(record["verdict"], "passed") << label;
        EXPECT_EQ(record["passes"], 1) << label;
        EXPECT_EQ(record["tests"]["SRAM"]["passed"], 1) << label;
        EXPECT_EQ(record["image_sha256"].get<std::string>().size(), 64u);
        EXPECT_TRUE(record["diagnosis"].is_null());
    }
    EXPECT_EQ(records.count(c.port()), 1u) << "a board without a label is known by its port";
    const auto suites = junit_cases(station.dir() + "/report.xml");
    EXPECT_EQ(suites.at("A1"), (std::vector<std::string>{"SDRAM:P", "FLASH:P", "SRAM:P"}));
    // Not a terminal: plain lines, no progress display.
    const std::string& out = station.process().out();
    EXPECT_EQ(out.find('\r'), std::string::npos);
    EXPECT_EQ(out.find('\b'), std::string::npos);
    EXPECT_NE(out.find("A1: SRAM passed\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Summary: 3 boards, 3 passed, 0 failed, 0 not tested (exit status 0)\n"), std::string::npos)
        << out;
    EXPECT_NE(read_file(records.at("B2")["log"]).find("Testing SRAM...\n"), std::string::npos);
}

TEST(Station, AFaultyBoardIsDiagnosedInItsRecords)
{
    SimulatedBoard good, faulty("sram.d3=0");
    Station station({good.port() + "=good", faulty.port() + "=faulty"});
    EXPECT_EQ(station.finish(), 1) << station.process().out() << station.process().err();
    const auto records = station.records();
    EXPECT_EQ(records.at("good")["verdict"], "passed");
    const auto& faulty_record = records.at("faulty");
    EXPECT_EQ(faulty_record["verdict"], "failed");
    EXPECT_EQ(faulty_record["tests"]["SRAM"]["verdict"], "failed");
    EXPECT_EQ(faulty_record["tests"]["SDRAM"]["verdict"], "passed");
    ASSERT_EQ(faulty_record["diagnosis"]["candidates"].size(), 1u) << faulty_record.dump();
    EXPECT_EQ(faulty_record["diagnosis"]["candidates"][0]["fault"], "SRAM data line 3 stuck at 0");
    const std::string& out = station.process().out();
    EXPECT_NE(out.find("faulty (" + faulty.port() + "): failed, 1 pass, SRAM failed 1x; diagnosis: SRAM data line 3 "
                       "stuck at 0\n"),
              std::string::npos)
        << out;
    const auto suites = junit_cases(station.dir() + "/report.xml");
    EXPECT_EQ(suites.at("faulty"), (std::vector<std::string>{"SDRAM:P", "FLASH:P", "SRAM:F"}));
}

TEST(Station, AHungBoardIsTimedOutWhileTheOthersFinish)
{
    SimulatedBoard good, busy("flash.busy");
    Station station({"--silence-timeout", "8", good.port() + "=good", busy.port() + "=busy"});
    EXPECT_EQ(station.finish(), 2) << station.process().out() << station.process().err();
    const auto records = station.records();
    EXPECT_EQ(records.at("good")["verdict"], "passed");
    const auto& busy_record = records.at("busy");
    EXPECT_EQ(busy_record["verdict"], "hung");
    EXPECT_EQ(busy_record["hung_in"], "FLASH");
    EXPECT_EQ(busy_record["tests"]["SDRAM"]["verdict"], "passed");
    const auto suites = junit_cases(station.dir() + "/report.xml");
    EXPECT_EQ(suites.at("busy"), (std::vector<std::string>{"SDRAM:P", "FLASH:E"}));
}

TEST(Station, ABoardWhoseSimulatorDiesIsLost)
{
    SimulatedBoard board;
    Station station({board.port() + "=dies"});
    ASSERT_TRUE(station.process().wait_stdout("dies: downloading", STATION_TIMEOUT_MS)) << station.process().out();
    board.process().signal(SIGKILL);
    EXPECT_EQ(station.finish(), 2) << station.process().out();
    const auto record = station.records().at("dies");
    EXPECT_EQ(record["verdict"], "lost");
    EXPECT_NE(record["problem"].get<std::string>().find("serial port"), std::string::npos) << record.dump();
}

TEST(Station, BurnInCountsExactlyTheAskedPasses)
{
    SimulatedBoard good, faulty("sram.d3=0");
    Station station({"--passes", "2", good.port() + "=good", faulty.port() + "=faulty"});
    EXPECT_EQ(station.finish(), 1) << station.process().out() << station.process().err();
    const auto records = station.records();
    for (const char* label : {"good", "faulty"}) {
        const auto& r = records.at(label);
        EXPECT_EQ(r["passes"], 2) << label;
        for (const char* test : {"SDRAM", "FLASH", "SRAM"})
            EXPECT_EQ(r["tests"][test]["passed"].get<int>() + r["tests"][test]["failed"].get<int>(), 2)
                << label << " " << test;
    }
    EXPECT_EQ(records.at("good")["verdict"], "passed");
    EXPECT_EQ(records.at("faulty")["tests"]["SRAM"]["failed"], 2);
    // Off a terminal a burn-in tells its first pass, then its failures.
    const std::string& out = station.process().out();
    EXPECT_NE(out.find("good: SRAM passed (pass 1)\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("passed (pass 2)"), std::string::npos) << out;
    EXPECT_NE(out.find("faulty: SRAM failed (pass 2)\n"), std::string::npos) << out;
    // The failed board got one verbose pass, and its log was diagnosed.
    const auto& failed = records.at("faulty");
    ASSERT_TRUE(failed["verbose_log"].is_string());
    EXPECT_NE(read_file(failed["verbose_log"]).find("Testing SRAM...\nD52000000"), std::string::npos);
    EXPECT_EQ(failed["diagnosis"]["candidates"][0]["spec"], "sram.d3=0");
    // One test case per test however many passes, read by Debian's JUnit
    // parser as a CI dashboard would: counts, and the first failure's report.
    EXPECT_EQ(junit_cases(station.dir() + "/report.xml").at("good"),
              (std::vector<std::string>{"SDRAM:P", "FLASH:P", "SRAM:P"}));
    if (access("/usr/bin/python3", X_OK) != 0 ||
        Session("/usr/bin/python3", ChildOptions{{"-c", "import junitparser"}, {}, {}}).wait_exit(30000) != 0)
        GTEST_SKIP() << "python3-junitparser is not installed (scripts/setup.sh installs it)";
    Session reader("/usr/bin/python3",
                   ChildOptions{{"-c",
                                 "import sys, junitparser\n"
                                 "for suite in junitparser.JUnitXml.fromfile(sys.argv[1]):\n"
                                 "    props = {p.name: p.value for p in suite.properties()}\n"
                                 "    for case in suite:\n"
                                 "        kinds = [type(r).__name__ for r in case.result]\n"
                                 "        text = case.result[0].text if case.result else ''\n"
                                 "        print(suite.name, case.name, props[case.name + ' passed'],\n"
                                 "              props[case.name + ' failed'], kinds, 'D52000000' in (text or ''))\n",
                                 station.dir() + "/report.xml"},
                                {},
                                {}});
    EXPECT_EQ(reader.wait_exit(30000), 0) << reader.err();
    EXPECT_EQ(reader.out(), "good SDRAM 2 0 [] False\ngood FLASH 2 0 [] False\ngood SRAM 2 0 [] False\n"
                            "faulty SDRAM 2 0 [] False\nfaulty FLASH 2 0 [] False\n"
                            "faulty SRAM 0 2 ['Failure'] True\n");
}

TEST(Station, CtrlCGivesASummaryAndCompleteRecords)
{
    SimulatedBoard board;
    Station station({"--passes", "100000", board.port() + "=soak"});
    ASSERT_TRUE(station.process().wait_stdout("soak: SRAM passed (pass 1)", STATION_TIMEOUT_MS))
        << station.process().out();
    station.process().signal(SIGINT);
    EXPECT_EQ(station.finish(), 2);
    const std::string& out = station.process().out();
    EXPECT_NE(out.find("Summary: 1 board, 0 passed, 0 failed, 1 not tested (exit status 2)\n"), std::string::npos)
        << out;
    const auto record = station.records().at("soak");
    EXPECT_EQ(record["verdict"], "stopped");
    EXPECT_GE(record["passes"].get<int>(), 1);
    EXPECT_FALSE(record["end"].get<std::string>().empty());
    EXPECT_EQ(record["tests"]["SRAM"]["passed"], record["passes"]);
}

TEST(Station, OnATerminalATableIsRedrawnInPlace)
{
    SimulatedBoard board;
    const std::string dir = make_temp_dir();
    // script(1) gives the station a terminal for its standard output.
    const std::string command = std::string(KORVASTATION_PATH) + " --dudedoved " + DUDEDOVED_PATH +
                                " --log-dir " + dir + "/logs " + board.port() + "=T1";
    Session station("/usr/bin/script", ChildOptions{{"-qefc", command, "/dev/null"}, {}, dir});
    EXPECT_EQ(station.wait_exit(STATION_TIMEOUT_MS), 0) << station.out();
    const std::string& out = station.out();
    EXPECT_NE(out.find("BOARD  PORT"), std::string::npos) << out;
    EXPECT_NE(out.find("\x1b[2A"), std::string::npos) << "back up over the header and one row";
    EXPECT_NE(out.find("T1 "), std::string::npos);
    EXPECT_NE(out.find("Summary: 1 board, 1 passed"), std::string::npos);
}

// Characters, not bytes: the table cuts names with an ellipsis.
size_t characters(const std::string& line)
{
    size_t n = 0;
    for (char c : line)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

class TableWidthTest : public testing::TestWithParam<int> {};

TEST_P(TableWidthTest, FitsTheTerminalAndKeepsLongPortNamesApart)
{
    // Two boards behind by-id names that differ only at their end, in a
    // real terminal of the width under test (tmux), as an operator sees them.
    SimulatedBoard a, b;
    const std::string dir = make_temp_dir();
    const std::string by_id = dir + "/serial/by-id/usb-FTDI_FT232R_USB_UART_";
    ASSERT_EQ(system(("mkdir -p " + dir + "/serial/by-id").c_str()), 0);
    ASSERT_EQ(symlink(a.port().c_str(), (by_id + "A1B2C3D4-if00-port0").c_str()), 0);
    ASSERT_EQ(symlink(b.port().c_str(), (by_id + "E5F6A7B8-if00-port0").c_str()), 0);
    // The window stays for its last screen to be read.
    const std::string command = std::string(KORVASTATION_PATH) + " --dudedoved " + DUDEDOVED_PATH + " --log-dir " +
                                dir + "/logs " + by_id + "A1B2C3D4-if00-port0=SN1001 " + by_id +
                                "E5F6A7B8-if00-port0=SN1002";
    const TmuxTerminal terminal(dir, command, GetParam(), 30);
    ASSERT_TRUE(terminal.started());
    ASSERT_TRUE(terminal.wait_for("Summary: 2 boards, 2 passed", 1, STATION_TIMEOUT_MS)) << terminal.screen();
    const std::string screen = terminal.screen();
    const std::string table = screen.substr(0, screen.find("Summary:"));
    std::istringstream lines(table);
    size_t headers = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LT(characters(line), static_cast<size_t>(GetParam())) << line;
        headers += line.rfind("BOARD", 0) == 0;
    }
    EXPECT_EQ(headers, 1u) << "the redraw left copies of the table behind:\n" << table;
    for (const char* end : {"A1B2C3D4-if00-port0  passed", "E5F6A7B8-if00-port0  passed"})
        EXPECT_NE(table.find(end), std::string::npos) << end << "\n" << table;
    // Wide enough, the whole name stands; narrow, its end does.
    EXPECT_EQ(table.find(by_id) != std::string::npos, GetParam() >= 200) << table;
}

INSTANTIATE_TEST_SUITE_P(Station, TableWidthTest, testing::Values(80, 200));


TEST(Station, FindsTheDudedovedBesideItAndNamesWhereItLookedWhenThereIsNone)
{
    const std::string dir = make_temp_dir();
    // From the build tree, with nothing on PATH: the one beside it runs.
    Session beside(KORVASTATION_PATH, ChildOptions{{"--log-dir", dir + "/logs", "--json", dir + "/r.json",
                                                    "/nonexistent/port=ghost"},
                                                   {{"PATH", "/nonexistent"}}, dir});
    EXPECT_EQ(beside.wait_exit(STATION_TIMEOUT_MS), 2);
    EXPECT_NE(read_file(dir + "/r.json").find("Could not open serial port /nonexistent/port"), std::string::npos)
        << beside.err();
    // A copy of the station alone: told where it looked, before any board.
    const std::string alone = dir + "/korvastation";
    std::ofstream(alone, std::ios::binary) << std::ifstream(KORVASTATION_PATH, std::ios::binary).rdbuf();
    chmod(alone.c_str(), 0755);
    Session lost(alone, ChildOptions{{"/nonexistent/port=ghost"}, {{"PATH", "/nowhere:/neither"}}, dir});
    EXPECT_EQ(lost.wait_exit(STATION_TIMEOUT_MS), 2);
    EXPECT_EQ(lost.err(), "korvastation: cannot find dudedoved (looked at " + dir +
                              "/dudedoved, /nowhere/dudedoved, /neither/dudedoved); name it with --dudedoved PATH\n");
}

} // namespace


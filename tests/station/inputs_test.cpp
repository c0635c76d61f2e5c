// What the station is given, checked before anything starts: its command
// line, its record paths, its database's name, and labels of any bytes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/station/station_fixture.h"
#include "tests/support/case_name.h"
#include "tests/support/session.h"

namespace {

TEST(Station, LabelsAndPortsOfAnyBytesReachTheRecords)
{
    Station station({"/nonexistent/\xfe\x01port=SN\xff" "1"});
    EXPECT_EQ(station.finish(), 2) << station.process().err();
    const auto records = station.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records.begin()->first, "SN\xEF\xBF\xBD" "1");
    EXPECT_EQ(records.begin()->second["port"], "/nonexistent/\xEF\xBF\xBD\x01port");
    EXPECT_EQ(junit_cases(station.dir() + "/report.xml").size(), 1u);
}

TEST(Station, ControlCharactersInALabelNeverReachTheTerminalRaw)
{
    // Off a terminal the station writes event lines, then the summary.
    Station station({"/nonexistent/port=SN1\x1b[2J\n  SN9 (x9): passed"});
    EXPECT_EQ(station.finish(), 2);
    const std::string& out = station.process().out();
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_EQ(out.find("\n  SN9 (x9): passed"), std::string::npos) << out;
    EXPECT_NE(out.find("SN1\\x1b[2J\\x0a  SN9 (x9): passed: done: not tested"), std::string::npos) << out;
    // The records keep the label as it was given.
    EXPECT_EQ(station.records().begin()->first, "SN1\x1b[2J\n  SN9 (x9): passed");
}

TEST(Station, ReportUsageErrorsAreOneLine)
{
    const std::string dir = make_temp_dir();
    std::ofstream(dir + "/notes.txt") << "not a database, but text of some length to be sure\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"report"}, "--db names the records to read"},
        {{"report", "--db", dir + "/none.db"}, "cannot read the records in " + dir + "/none.db: No such file or directory"},
        {{"report", "--db", "x.db", "--format", "pdf"}, "bad --format 'pdf': expected table, csv, json or html"},
        {{"report", "--db", "x.db", "--since", "2026-13-01"},
         "bad date '2026-13-01': expected a day of the calendar as YYYY-MM-DD"},
        {{"report", "--db", "x.db", "extra"}, "unexpected 'extra'"},
        {{"report", "--db", "x.db", "--by", "day,shift"},
         "bad --by 'day,shift': expected day, station, fixture or operator, comma-separated"},
        {{"report", "--db", "x.db", "--since"}, "option '--since' needs a value (korvastation report --help lists them)"},
        {{"report", "--db", "x.db", "--since", "2026-02-30"},
         "bad date '2026-02-30': expected a day of the calendar as YYYY-MM-DD"},
        {{"report", "--db", "x.db", "--since", "2026-12-09", "--until", "2026-12-01"},
         "--since 2026-12-09 comes after --until 2026-12-01"},
        {{"report", "--db", "host=db1 dbname=line"},
         "bad --db 'host=db1 dbname=line': a keyword connection string; give a postgresql:// URI or a SQLite file"},
        {{"report", "--db", dir + "/notes.txt"}, "SQLite database " + dir + "/notes.txt: file is not a database"},
    };
    for (const auto& [args, message] : cases) {
        Session report(KORVASTATION_PATH, ChildOptions{args, {}, {}});
        EXPECT_EQ(report.wait_exit(30000), 2) << message;
        EXPECT_EQ(report.err().rfind("korvastation report: ", 0), 0u) << report.err();
        EXPECT_NE(report.err().find(message + "\n"), std::string::npos) << report.err();
        EXPECT_EQ(count_of(report.err(), "\n"), 1u) << report.err();
    }
}

struct RecordPathCase {
    const char* name;
    const char* option;
    const char* path;
    const char* message;
};

class RecordPathTest : public testing::TestWithParam<RecordPathCase> {};

TEST_P(RecordPathTest, IsToldWithExitStatus2)
{
    // The board's port does not exist, so a run is quick; a record that
    // cannot be opened is refused before any board starts.
    const std::string dir = make_temp_dir();
    Session station(KORVASTATION_PATH,
                    ChildOptions{{"--dudedoved", DUDEDOVED_PATH, "--log-dir", dir + "/logs", GetParam().option,
                                  GetParam().path, "/nonexistent/port=ghost"},
                                 {}, dir});
    EXPECT_EQ(station.wait_exit(STATION_TIMEOUT_MS), 2);
    EXPECT_NE(station.err().find(std::string("korvastation: ") + GetParam().message + "\n"), std::string::npos)
        << station.err();
}

INSTANTIATE_TEST_SUITE_P(
    Station, RecordPathTest,
    testing::Values(
        RecordPathCase{"JunitOnAFullDisk", "--junit", "/dev/full",
                       "cannot write the records to /dev/full: No space left on device"},
        RecordPathCase{"JsonOnAFullDisk", "--json", "/dev/full",
                       "cannot write the records to /dev/full: No space left on device"},
        RecordPathCase{"JsonInAMissingFolder", "--json", "/nonexistent/records.json",
                       "cannot open /nonexistent/records.json for the records: No such file or directory"},
        RecordPathCase{"JunitOnAFolder", "--junit", "/tmp",
                       "cannot open /tmp for the records: Is a directory"}),
    CaseName());

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* message;
};

class StationUsageTest : public testing::TestWithParam<UsageCase> {};

TEST_P(StationUsageTest, IsRefusedWithOneLine)
{
    Session station(KORVASTATION_PATH, ChildOptions{GetParam().args, {}, make_temp_dir()});
    EXPECT_EQ(station.wait_exit(STATION_TIMEOUT_MS), 2);
    EXPECT_EQ(station.err(), std::string("korvastation: ") + GetParam().message + "\n");
    EXPECT_EQ(station.out(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Station, StationUsageTest,
    testing::Values(
        UsageCase{"NoBoard", {}, "no board to test: name at least one PORT"},
        UsageCase{"ZeroPasses", {"--passes", "0", "1"}, "bad --passes '0': expected a whole number from 1"},
        UsageCase{"DurationUnit", {"--duration", "5x", "1"}, "bad --duration '5x': expected a time such as 90s, 30m or 8h, up to 30 days"},
        UsageCase{"SilenceNotANumber", {"--silence-timeout", "soon", "1"},
                  "bad --silence-timeout 'soon': expected seconds, such as 30, up to 30 days"},
        UsageCase{"PassesAndDuration", {"--passes", "2", "--duration", "1h", "1"},
                  "--passes and --duration both end a burn-in; give one"},
        UsageCase{"AppendWithoutJson", {"--append", "1"}, "--append goes with --json"},
        UsageCase{"DudedovedMissing", {"--dudedoved", "/nonexistent/dudedoved", "1"},
                  "cannot run --dudedoved /nonexistent/dudedoved: No such file or directory"},
        UsageCase{"EmptyLabel", {"1="}, "bad board '1=': expected PORT, PORT=LABEL or PORT=LABEL@SWITCH"},
        UsageCase{"EmptySwitch", {"1=a@"}, "bad board '1=a@': expected PORT, PORT=LABEL or PORT=LABEL@SWITCH"},
        UsageCase{"PowerOnAlone", {"--power-on", "relay on", "1"},
                  "--power-on and --power-off go together: the station switches boards both ways"},
        UsageCase{"PowerTimeoutAlone", {"--power-timeout", "5", "1"},
                  "--power-shell, --power-cycle-wait, --power-timeout and --keep-power go with --power-on and "
                  "--power-off"},
        UsageCase{"UnknownPlaceholder", {"--power-on", "relay {lable}", "--power-off", "relay off", "1"},
                  "unknown placeholder {lable} in --power-on (known: {port}, {label}, {switch})"},
        UsageCase{"NoSwitch", {"--power-on", "relay {switch} on", "--power-off", "relay off", "1=B7"},
                  "board '1=B7' has no switch for {switch} in --power-on: give it as PORT=LABEL@SWITCH"},
        UsageCase{"UnbalancedQuote", {"--power-on", "relay 'on", "--power-off", "relay off", "1"},
                  "bad --power-on 'relay 'on': unbalanced quotes or a character that needs --power-shell"},
        UsageCase{"CommandSubstitution", {"--power-on", "relay $(date)", "--power-off", "relay off", "1"},
                  "bad --power-on 'relay $(date)': command substitution needs --power-shell"},
        UsageCase{"BadDashboardAddress", {"--http", "localhost:http", "1"},
                  "bad --http 'localhost:http': expected [HOST:]PORT, such as 8080 or 0.0.0.0:8080"},
        UsageCase{"StationWithoutDatabase", {"--station", "line 2", "1"}, "--station goes with --db"},
        UsageCase{"NegativeRetest", {"--retest", "-1", "1"}, "bad --retest '-1': expected a whole number from 0"},
        UsageCase{"TwoBoardsOneLabel", {"1=x", "2=x"}, "two boards are labelled 'x'"},
        UsageCase{"LabelsSharingALog", {"1=a/b", "2=a_b"},
                  "the labels 'a/b' and 'a_b' would share the log a_b.log: give labels that differ in a letter or digit"},
        UsageCase{"UnknownOption", {"--fast", "1"}, "unknown option '--fast' (korvastation --help lists them)"},
        UsageCase{"OptionWithoutValue", {"1", "--json"}, "option '--json' needs a value (korvastation --help lists them)"},
        UsageCase{"HugePowerTimeout", {"--power-on", "a", "--power-off", "b", "--power-timeout", "1e18", "1"},
                  "bad --power-timeout '1e18': expected seconds, such as 30, up to 30 days"},
        UsageCase{"OnePortTwice", {"3=A", "3=B"}, "boards 'A' and 'B' are on one port, 3: give each board its own"},
        UsageCase{"APortWordThatNamesNothing", {"nope=N"},
                  "bad board 'nope=N': 'nope' names no device and is no port number (1 is COM1, /dev/ttyS0)"},
        UsageCase{"AHugeLabel", {"1=" + std::string(10000, 'x')},
                  "bad board '1=xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...': its label has 10000 characters; at most 200"},
        UsageCase{"ASwitchWithoutPowerCommands", {"1=ACME@LOT7"},
                  "bad board '1=ACME@LOT7': '@LOT7' names a power switch, but no --power-on and --power-off switch it"},
        UsageCase{"EmptyDashboardAddress", {"--http", "", "1"}, "--http needs [HOST:]PORT, such as 8080 or 0.0.0.0:8080"},
        UsageCase{"ImpossibleDashboardAddress", {"--http", "256.1.1.1:0", "1"},
                  "bad --http '256.1.1.1:0': '256.1.1.1' is no IP address"},
        UsageCase{"KeywordConnectionString", {"--db", "host=db1 dbname=line password=secret", "1"},
                  "bad --db 'host=db1 dbname=line password=***': a keyword connection string; give a postgresql:// "
                  "URI or a SQLite file"},
        UsageCase{"DatabaseAndJsonOneFile", {"--db", "same.db", "--json", "same.db", "1"},
                  "--json same.db and --db same.db are one file: give each record its own"},
        UsageCase{"JsonAndJunitOneFile", {"--json", "x", "--junit", "./x", "1"},
                  "--json x and --junit ./x are one file: give each record its own"},
        UsageCase{"StopAtFailureWithoutBurnIn", {"--stop-at-failure", "1"},
                  "--stop-at-failure goes with a burn-in (--passes or --duration)"},
        UsageCase{"LogFolderInAFile", {"--log-dir", "/dev/null/logs", "1"},
                  "cannot make the log folder /dev/null/logs: Not a directory"}),
    CaseName());


TEST(Station, ADatabaseThatCannotTakeRecordsIsRefusedBeforeAnyBoard)
{
    const std::string dir = make_temp_dir();
    std::ofstream(dir + "/notes.txt") << "not a database, but text of some length to be sure\n";
    // A database whose table went missing.
    {
        Station made({"--db", dir + "/broken.db", "/nonexistent/port=ghost"});
        EXPECT_EQ(made.finish(), 2);
    }
    Session sqlite("/usr/bin/sqlite3", ChildOptions{{dir + "/broken.db", "DROP TABLE diagnoses"}, {}, dir});
    ASSERT_EQ(sqlite.wait_exit(30000), 0) << sqlite.err();
    const std::pair<std::string, std::string> cases[] = {
        {dir, "cannot open the SQLite database " + dir},
        {dir + "/notes.txt", "SQLite database " + dir + "/notes.txt: file is not a database"},
        {dir + "/broken.db", "no such table: diagnoses"},
    };
    for (const auto& [db, message] : cases) {
        Station station({"--db", db, "/nonexistent/port=ghost"});
        EXPECT_EQ(station.finish(), 2);
        const std::string& err = station.process().err();
        EXPECT_EQ(err.rfind("korvastation: ", 0), 0u) << err;
        EXPECT_NE(err.find(message), std::string::npos) << err;
        EXPECT_EQ(count_of(err, "\n"), 1u) << err;
        EXPECT_EQ(station.process().out(), "") << "no board was started";
    }
}

TEST(Station, ADatabaseFileItMayNotWriteIsRefusedBeforeAnyBoard)
{
    // Root writes any file: the station runs as nobody against root's database.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the station as another user";
    const std::string dir = make_temp_dir();
    {
        Station made({"--db", dir + "/records.db", "/nonexistent/port=ghost"});
        EXPECT_EQ(made.finish(), 2);
    }
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir + "/records.db").c_str(), 0644), 0);
    const std::string logs = dir + "/logs-of-nobody";
    ASSERT_EQ(mkdir(logs.c_str(), 0777), 0);
    ASSERT_EQ(chmod(logs.c_str(), 0777), 0);
    Session probe(KORVASTATION_PATH, ChildOptions{{"--help"}, {}, {}, true});
    if (probe.wait_exit(30000) != 0)
        GTEST_SKIP() << "user nobody cannot reach the build tree here";
    Session station(KORVASTATION_PATH, ChildOptions{{"--dudedoved", DUDEDOVED_PATH, "--log-dir", logs + "/run", "--db",
                                                     dir + "/records.db", "/nonexistent/port=ghost"},
                                                    {}, logs, true});
    EXPECT_EQ(station.wait_exit(30000), 2);
    EXPECT_EQ(station.err(), "korvastation: SQLite database " + dir +
                                 "/records.db: attempt to write a readonly database\n");
    EXPECT_EQ(station.out(), "") << "no board was started";
}

} // namespace

// A batch run of the station on a scripted dudedoved and the test's own
// clock: what each kind of board comes to in the records, the order of the
// record files, the summary and the exit status.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "station/batch/batch_station.h"
#include "tests/station/support/scripted_tool.h"
#include "tests/support/case_name.h"
#include "tests/support/session.h"

namespace korvastation {
namespace {

using Clock = std::chrono::steady_clock;
using case_print::operator<<;

struct BatchCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> plans;  // port, plan
    std::vector<std::string> options;
    int status;
    std::string verdicts;  // each record's label and verdict in the JSON file's order
    std::string summary;   // a line the summary holds
};

class BatchStationTest : public testing::TestWithParam<BatchCase> {};

// The loop's clock: a second further at every look, so that a silence of
// 30 s costs a few turns.
std::function<Clock::time_point()> hurried_clock()
{
    auto seconds = std::make_shared<long>(0);
    const Clock::time_point start = Clock::now();
    return [seconds, start] { return start + std::chrono::seconds((*seconds)++); };
}

std::string verdicts_in(const std::string& json_lines)
{
    std::istringstream lines(json_lines);
    std::string verdicts;
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json r = nlohmann::json::parse(line);
        verdicts += (verdicts.empty() ? "" : ", ") + r["label"].get<std::string>() + " " + r["verdict"].get<std::string>() +
                    (r["hung_in"].is_string() ? " in " + r["hung_in"].get<std::string>() : "");
    }
    return verdicts;
}

TEST_P(BatchStationTest, ComesToItsRecordsAndStatus)
{
    const std::string dir = make_temp_dir();
    const ScriptedTool tool(dir);
    StationSettings settings;
    settings.dudedoved = tool.path();
    settings.log_dir = dir + "/logs";
    settings.json_path = dir + "/records.json";
    settings.junit_path = dir + "/report.xml";
    for (const auto& [port, plan] : GetParam().plans) {
        tool.plan(port, plan);
        settings.boards.push_back({port, "B-" + port, "", "", ""});
    }
    for (size_t i = 0; i < GetParam().options.size(); i += 2) {
        const std::string& option = GetParam().options[i];
        const std::string& value = GetParam().options[i + 1];
        if (option == "retests")
            settings.retests = std::stol(value);
        else if (option == "passes")
            settings.passes = std::stol(value);
        else if (option == "stop-at-failure")
            settings.stop_at_failure = true;
        else if (option == "power-on")
            ASSERT_TRUE(settings.power_on.parse("--power-on", value, false) &&
                        settings.power_off.parse("--power-off", "true", false));
        else if (option == "power-off")
            ASSERT_TRUE(settings.power_on.parse("--power-on", "true", false) &&
                        settings.power_off.parse("--power-off", value, false));
        else if (option == "power-timeout")
            settings.power_timeout_s = std::stod(value);
        else if (option == "wake-timeout")
            settings.wake_timeout_s = std::stod(value);
        else if (option == "duration")
            settings.duration_s = std::stod(value);
    }
    settings.power_cycle_wait_s = 0;
    char* shown = nullptr;
    size_t shown_size = 0;
    FILE* out = open_memstream(&shown, &shown_size);
    int status = -1;
    {
        BatchStation station(settings, std::make_unique<Display>(out, false, [] { return size_t(80); }),
                             hurried_clock());
        ASSERT_TRUE(station.open());
        std::atomic<int> interrupts{0};
        std::atomic<bool> resized{false};
        station.run(interrupts, resized);
        status = station.finish(interrupts);
    }
    fclose(out);
    const std::string text(shown, shown_size);
    free(shown);
    EXPECT_EQ(status, GetParam().status) << text;
    EXPECT_EQ(verdicts_in(read_file(settings.json_path)), GetParam().verdicts) << text;
    // Each attempt's verdict is told once, whatever its power commands did after it.
    EXPECT_EQ(count_of(text, ": done: "), count_of(read_file(settings.json_path), "\n")) << text;
    EXPECT_NE(text.find(GetParam().summary), std::string::npos) << text;
    EXPECT_NE(read_file(settings.junit_path).find("<testsuites name=\"korvastation\""), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Station, BatchStationTest,
    testing::Values(
        BatchCase{"APassAndAFailure", {{"p1", "pass"}, {"p2", "fail SRAM"}}, {}, 1,
                  "B-p1 passed, B-p2 failed", "Summary: 2 boards, 1 passed, 1 failed, 0 not tested (exit status 1)"},
        BatchCase{"AHangIsTimedOut", {{"p1", "hang FLASH"}, {"p2", "pass"}}, {}, 2,
                  "B-p1 hung in FLASH, B-p2 passed", "B-p1 (p1): hung in FLASH, 0 passes; no output from the board in FLASH"},
        BatchCase{"ADudedovedThatSaysNothing", {{"p1", "silent"}}, {}, 2, "B-p1 hung in start-up",
                  "B-p1 (p1): hung at the start-up, 0 passes; no output from dudedoved for 30 s (starting)"},
        BatchCase{"ABoardThatNeverWakes", {{"p1", "nowake"}}, {"wake-timeout", "5"}, 2, "B-p1 hung in wake-up",
                  "B-p1 (p1): hung at the wake-up, 0 passes; no wake-up byte in 5 s"},
        BatchCase{"LostAndAbsentPortsAreNotTested", {{"p1", "lost"}, {"p2", "absent"}}, {}, 2,
                  "B-p1 lost, B-p2 not tested",
                  "B-p2 (p2): not tested, 0 passes; Could not open serial port p2: No such file or directory"},
        BatchCase{"ARetestAfterAFailure", {{"p1", "fail SDRAM\npass"}}, {"retests", "1"}, 0,
                  "B-p1 failed, B-p1 passed on retest 1", "B-p1 (p1): passed on retest 1, 1 pass; intermittent"},
        BatchCase{"EveryAttemptFails", {{"p1", "fail FLASH"}}, {"retests", "2"}, 1,
                  "B-p1 failed, B-p1 failed, B-p1 failed", "B-p1 (p1): failed, 1 pass, FLASH failed 1x"},
        BatchCase{"ABurnInCountsItsPasses", {{"p1", "burn SRAM@9"}}, {"passes", "3"}, 0, "B-p1 passed",
                  "B-p1 (p1): passed, 3 passes"},
        BatchCase{"ABurnInForADurationEndsWithAWholePass", {{"p1", "burn SRAM@999"}}, {"duration", "20"}, 0,
                  "B-p1 passed", "B-p1 (p1): passed, "},
        BatchCase{"ABurnInStopsAtItsFirstFailedPass", {{"p1", "burn SRAM@2\nfail SRAM"}},
                  {"passes", "50", "stop-at-failure", "-"}, 1, "B-p1 failed",
                  "B-p1 (p1): failed, 2 passes, SRAM failed 1x"},
        BatchCase{"APowerCommandThatFailsIsTheStations", {{"p1", "nowake"}}, {"power-on", "false"}, 2,
                  "B-p1 not tested", "B-p1 (p1): not tested, 0 passes; --power-on command 'false' failed with status 1"},
        BatchCase{"APowerCommandThatFailsSaysWhy", {{"p1", "nowake"}},
                  {"power-on", "sh -c 'echo relay 3 is stuck >&2; exit 3'", "retests", "2"}, 2, "B-p1 not tested",
                  "B-p1 (p1): not tested, 0 passes; --power-on command 'sh -c echo relay 3 is stuck >&2; exit 3' failed "
                  "with status 3: relay 3 is stuck"},
        BatchCase{"APowerCommandThatHangs", {{"p1", "pass"}}, {"power-off", "sleep 60", "power-timeout", "1"}, 2,
                  "B-p1 not tested", "B-p1 (p1): not tested, 0 passes; --power-off command 'sleep 60' did not finish in 1 s"},
        BatchCase{"APowerOnThatFailsAfterTheTestsMakesTheOnlyVerdict", {{"p1", "pass"}},
                  {"power-on", "sh -c 'sleep 0.3; exit 3'"}, 2, "B-p1 not tested",
                  "B-p1 (p1): not tested, 1 pass; --power-on command 'sh -c sleep 0.3; exit 3' failed with status 3"}),
    CaseName());

TEST(BatchStationFiles, AppendAddsToTheRecords)
{
    const std::string dir = make_temp_dir();
    const ScriptedTool tool(dir);
    tool.plan("p1", "absent");
    for (int run = 0; run < 2; ++run) {
        StationSettings settings;
        settings.dudedoved = tool.path();
        settings.log_dir = dir + "/logs";
        settings.json_path = dir + "/all.json";
        settings.append = true;
        settings.boards = {{"p1", "ghost" + std::to_string(run), "", "", ""}};
        std::unique_ptr<FILE, int (*)(FILE*)> quiet(fopen("/dev/null", "w"), fclose);
        BatchStation station(settings, std::make_unique<Display>(quiet.get(), false, [] { return size_t(80); }));
        ASSERT_TRUE(station.open());
        std::atomic<int> interrupts{0};
        std::atomic<bool> resized{false};
        station.run(interrupts, resized);
        EXPECT_EQ(station.finish(interrupts), 2);
    }
    EXPECT_EQ(verdicts_in(read_file(dir + "/all.json")), "ghost0 not tested, ghost1 not tested");
}

TEST(BatchStationFiles, APowerCommandThatCannotRunIsRefusedBeforeAnyBoard)
{
    const std::string dir = make_temp_dir();
    const ScriptedTool tool(dir);
    struct Case {
        std::string command, told;
    };
    for (const Case& c : std::vector<Case>{
             {"/nonexistent/relay off", "--power-off: cannot run '/nonexistent/relay': no such file"},
             {"no-such-relay off", "--power-off: cannot run 'no-such-relay': not found on PATH"},
             {dir + " off", "--power-off: cannot run '" + dir + "': it is not executable"},
             {"{switch} off", ""}}) {  // a program per board: known only then
        StationSettings settings;
        settings.dudedoved = tool.path();
        settings.log_dir = dir + "/logs";
        ASSERT_TRUE(settings.power_on.parse("--power-on", "true", false));
        ASSERT_TRUE(settings.power_off.parse("--power-off", c.command, false));
        settings.boards = {{"p1", "B1", "", "", ""}};
        std::unique_ptr<FILE, int (*)(FILE*)> quiet(fopen("/dev/null", "w"), fclose);
        BatchStation station(settings, std::make_unique<Display>(quiet.get(), false, [] { return size_t(80); }));
        const korvasim::Result opened = station.open();
        EXPECT_EQ(opened ? "" : opened.why(), c.told) << c.command;
    }
}

} // namespace
} // namespace korvastation

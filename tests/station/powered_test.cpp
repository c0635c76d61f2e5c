// korvastation switching the power of real korvasim boards through their
// power pipes: retests after a failure and after a hang, and the burn-in's
// verbose pass after a power cycle.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/station/station_fixture.h"
#include "tests/support/session.h"

namespace {

struct AttemptsCase {
    const char* label;
    const char* fault;
    std::vector<std::string> verdicts;  // of its attempts
    bool intermittent;
};

// Powered boards with one retest each, under one station: the attempts of
// each case as its JSON records have them.
class PoweredLine {
public:
    explicit PoweredLine(const std::vector<AttemptsCase>& cases) : pipes_(make_temp_dir()), cases_(cases)
    {
        std::vector<std::string> args = {"--retest", "1"};
        for (const AttemptsCase& c : cases) {
            boards_.push_back(std::make_unique<SimulatedBoard>(c.fault, pipes_ + "/" + c.label));
            args.push_back(boards_.back()->port() + "=" + c.label + "@" + pipes_ + "/" + c.label);
        }
        station_ = std::make_unique<Station>(power_by_pipe(args));
    }

    // Runs the station to its end; its exit status.
    int finish()
    {
        const int status = station_->finish();
        for (const AttemptsCase& c : cases_) {
            const auto attempts = station_->attempts(c.label);
            EXPECT_EQ(attempts.size(), c.verdicts.size()) << c.label;
            for (size_t k = 0; k < std::min(attempts.size(), c.verdicts.size()); ++k) {
                EXPECT_EQ(attempts[k]["verdict"], c.verdicts[k]) << c.label << " attempt " << k;
                EXPECT_EQ(attempts[k]["retest"], k);
                EXPECT_EQ(attempts[k]["final"], k + 1 == attempts.size());
                if (c.verdicts[k] == "failed") {
                    EXPECT_EQ(attempts[k]["diagnosis"]["candidates"][0]["fault"], "SRAM data line 3 stuck at 0");
                }
            }
            if (attempts.empty())
                continue;
            EXPECT_EQ(attempts.back()["intermittent"], c.intermittent) << c.label;
            if (attempts.size() > 1) {
                EXPECT_NE(attempts.front()["log"], attempts.back()["log"]);
            }
        }
        return status;
    }

    Station& station() { return *station_; }
    const std::string& pipes() const { return pipes_; }
    const std::string& port(size_t board) const { return boards_.at(board)->port(); }

private:
    std::string pipes_;
    std::vector<AttemptsCase> cases_;
    std::vector<std::unique_ptr<SimulatedBoard>> boards_;
    std::unique_ptr<Station> station_;
};

TEST(Station, APoweredBoardThatFailsOnceIsRetestedAndPasses)
{
    PoweredLine line({{"good", "", {"passed"}, false},
                      {"once", "sram.d3=0,first=1", {"failed", "passed on retest 1"}, true}});
    EXPECT_EQ(line.finish(), 0) << line.station().process().out() << line.station().process().err();
    const auto suites = junit_cases(line.station().dir() + "/report.xml");
    EXPECT_EQ(suites.at("once"), (std::vector<std::string>{"SDRAM:P", "FLASH:P", "SRAM:F"}));
    EXPECT_EQ(suites.at("once retest 1"), (std::vector<std::string>{"SDRAM:P", "FLASH:P", "SRAM:P"}));
    const std::string& out = line.station().process().out();
    EXPECT_NE(out.find("Summary: 2 boards, 2 passed (1 on retest), 0 failed, 0 not tested (exit status 0)\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find("once (" + line.port(1) + "): passed on retest 1, 1 pass; intermittent: its attempts disagree\n"),
              std::string::npos) << out;
}

TEST(Station, ABoardThatHangsOnceIsPoweredOffAndPassesOnRetest)
{
    const std::string pipe = make_temp_dir() + "/power";
    SimulatedBoard board("flash.busy,first=1", pipe);
    Station station(
        power_by_pipe({"--retest", "2", "--silence-timeout", "3", "--keep-power", board.port() + "=B1@" + pipe}));
    EXPECT_EQ(station.finish(), 0) << station.process().out() << station.process().err();
    const auto attempts = station.attempts("B1");
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_EQ(attempts[0]["verdict"], "hung");
    EXPECT_EQ(attempts[0]["hung_in"], "FLASH");
    EXPECT_EQ(attempts[1]["verdict"], "passed on retest 1");
    EXPECT_EQ(attempts[1]["intermittent"], true);
    // Off before each attempt, and left on at the end.
    const std::string power_log = read_file(attempts[1]["power_log"]);
    EXPECT_EQ(count_of(power_log, "echo off"), 2u) << power_log;
    EXPECT_EQ(count_of(power_log, "echo on"), 2u) << power_log;
}

TEST(Station, APoweredBoardThatFailsItsBurnInIsPowerCycledForItsVerbosePass)
{
    const std::string pipe = make_temp_dir() + "/power";
    SimulatedBoard board("sram.d3=0", pipe);
    Station station(power_by_pipe({"--passes", "2", board.port() + "=F1@" + pipe}));
    EXPECT_EQ(station.finish(), 1) << station.process().out() << station.process().err();
    const auto record = station.records().at("F1");
    EXPECT_EQ(record["verdict"], "failed");
    EXPECT_EQ(record["diagnosis"]["candidates"][0]["fault"], "SRAM data line 3 stuck at 0") << record.dump();
    EXPECT_NE(read_file(record["verbose_log"]).find("Testing SRAM..."), std::string::npos);
    // Off before the burn-in and before its verbose pass, and at the end.
    const std::string power_log = read_file(record["power_log"]);
    EXPECT_EQ(count_of(power_log, "echo off"), 3u) << power_log;
    EXPECT_EQ(count_of(power_log, "echo on"), 2u) << power_log;
}

} // namespace

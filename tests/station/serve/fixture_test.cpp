// A fixture's health: boards that fail the same way one after another mark
// it "check the fixture" until the operator confirms it. A scripted
// dudedoved plays each board as the test says.
#include <gtest/gtest.h>

#include <fstream>
#include <poll.h>
#include <sys/stat.h>

#include "link/board_protocol.h"
#include "station/serve/fixture.h"
#include "tests/support/session.h"

namespace korvastation {
namespace {

using Clock = std::chrono::steady_clock;

struct HealthCase {
    const char* name;
    int window;
    // each board's outcome: P passes, S fails SDRAM, F fails FLASH; D and A
    // fail SRAM diagnosed with its data line 3 or its address line 5 stuck
    std::string boards;
    std::string suspicion;  // after the last board; "" none
};

void PrintTo(const HealthCase& c, std::ostream* os)
{
    *os << c.name;
}

class FixtureHealth : public testing::TestWithParam<HealthCase> {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        const std::string tool = dir_ + "/dudedoved";
        // The board in the fixture fails the test named in the file "fails".
        std::ofstream(tool) << "#!/bin/sh\necho '" << WAKE_UP_MESSAGE << "'\necho 'Downloading... done'\n"
                            << "fails=$(cat " << dir_ << "/fails)\n"
                            << "for t in SDRAM FLASH SRAM; do\n"
                            << "  if [ $t = \"$fails\" ]; then echo \"Testing $t... failed\"; else echo \"Testing $t... passed\"; fi\n"
                            << "done\n[ -z \"$fails\" ]\n";
        chmod(tool.c_str(), 0755);
        settings_.dudedoved = tool;
    }

    // One board through the fixture, as it plays.
    void test_board(Fixture& fixture, char outcome, int number)
    {
        std::ofstream(dir_ + "/fails") << (outcome == 'S' ? "SDRAM" : outcome == 'F' ? "FLASH" : outcome == 'P' ? "" : "SRAM")
                                       << "\n";
        ASSERT_EQ(fixture.busy("KV" + std::to_string(number)), "");
        fixture.start_board({"/dev/ttyUSB0", "KV" + std::to_string(number), "", "F1", ""}, "ann", dir_, Clock::now());
        const auto give_up = Clock::now() + std::chrono::seconds(20);
        while (fixture.state() == Fixture::State::TESTING && Clock::now() < give_up) {
            std::vector<pollfd> fds;
            for (int fd : fixture.series()->fds())
                fds.push_back({fd, POLLIN, 0});
            const bool readable = poll(fds.data(), fds.size(), 20) > 0;
            fixture.series()->advance(Clock::now(), readable);
            fixture.update();
        }
        ASSERT_NE(fixture.state(), Fixture::State::TESTING);
        EXPECT_EQ(fixture.series()->record().operator_name, "ann");
        // The station's diagnosis completes the record before it is judged.
        AttemptRecord record = fixture.series()->record();
        if (outcome == 'D' || outcome == 'A')
            record.diagnosis = {{"", "SRAM", "", outcome == 'D' ? "SRAM data line 3 stuck at 0" : "SRAM address line 5 stuck at 0"}};
        fixture.judge(record);
    }

    std::string dir_;
    StationSettings settings_;
};

TEST_P(FixtureHealth, FollowsItsLastBoards)
{
    Fixture fixture(fixture_of("F1", "/dev/ttyUSB0"), settings_, GetParam().window);
    int number = 0;
    for (char outcome : GetParam().boards)
        ASSERT_NO_FATAL_FAILURE(test_board(fixture, outcome, ++number));
    EXPECT_EQ(fixture.state() == Fixture::State::CHECK, !GetParam().suspicion.empty());
    if (!GetParam().suspicion.empty()) {
        const std::string why = (GetParam().window == 1 ? "its last board "
                                                        : "its last " + std::to_string(GetParam().window) + " boards all ") +
                                GetParam().suspicion;
        EXPECT_EQ(fixture.suspicion(), why);
        EXPECT_EQ(fixture.busy("KV99"), "fixture F1 waits to be checked: " + why);
    }
    ASSERT_LE(fixture.last_boards().size(), Fixture::LAST_BOARDS);
    EXPECT_EQ(fixture.last_boards().front().serial, "KV" + std::to_string(number));
}

INSTANTIATE_TEST_SUITE_P(
    Station, FixtureHealth,
    testing::Values(HealthCase{"ThreeAlikeAreSuspect", 3, "PSSS", "failed SDRAM"},
                    HealthCase{"TwoAreNotYet", 3, "SS", ""},
                    HealthCase{"APassBetweenClearsIt", 3, "SSPSS", ""},
                    HealthCase{"DifferentFailuresAreTheBoards", 3, "SFS", ""},
                    HealthCase{"ThreeOfOneDiagnosisAreSuspect", 3, "DDD", "failed: SRAM data line 3 stuck at 0"},
                    HealthCase{"DifferentDiagnosesOfOneTestAreTheBoards", 3, "DDA", ""},
                    HealthCase{"AWindowOfOne", 1, "PS", "failed SDRAM"},
                    HealthCase{"NoWindowNoCheck", 0, "SSSSSS", ""}),
    [](const testing::TestParamInfo<HealthCase>& info) { return std::string(info.param.name); });

TEST_F(FixtureHealth, AConfirmedFixtureStartsItsCountAnew)
{
    Fixture fixture(fixture_of("F1", "/dev/ttyUSB0"), settings_, 2);
    ASSERT_NO_FATAL_FAILURE(test_board(fixture, 'S', 1));
    fixture.confirm();  // not suspect: nothing to confirm
    EXPECT_EQ(fixture.state(), Fixture::State::VERDICT);
    ASSERT_NO_FATAL_FAILURE(test_board(fixture, 'S', 2));
    ASSERT_EQ(fixture.state(), Fixture::State::CHECK);
    fixture.confirm();
    EXPECT_EQ(fixture.state(), Fixture::State::IDLE);
    ASSERT_NO_FATAL_FAILURE(test_board(fixture, 'S', 3));
    EXPECT_EQ(fixture.state(), Fixture::State::VERDICT);
    ASSERT_NO_FATAL_FAILURE(test_board(fixture, 'S', 4));
    EXPECT_EQ(fixture.state(), Fixture::State::CHECK);
}

} // namespace
} // namespace korvastation

// One board's run as a state machine: a scripted dudedoved in place of the
// real one, and the test's own clock, so that a silence of 30 s or a wait
// between attempts costs no time.
#include <gtest/gtest.h>

#include <fstream>
#include <poll.h>
#include <sys/stat.h>

#include "link/board_protocol.h"
#include "station/run/attempt_series.h"
#include "tests/support/session.h"

namespace korvastation {
namespace {

using Clock = std::chrono::steady_clock;

// Real time a case may take before the test gives up on it: its scripts end
// in milliseconds.
const auto GUARD = std::chrono::seconds(20);

struct RunCase {
    const char* name;
    std::string script;    // the body of the scripted dudedoved, sh; $1 counts its runs
    std::function<bool(const AttemptRecord&)> jump_when;  // when the test's clock jumps, if ever
    int jump_s;
    double wake_timeout_s;
    long retests;
    std::string attempts;  // what each attempt came to, "; " between them
    bool intermittent;     // the board's final attempt says its attempts disagree
};

void PrintTo(const RunCase& c, std::ostream* os)
{
    *os << c.name;
}

class AttemptSeriesTest : public testing::TestWithParam<RunCase> {};

std::string outcomes(const AttemptSeries& run)
{
    std::string text;
    for (const AttemptRecord& r : run.attempts())
        text += (text.empty() ? "" : "; ") + outcome_of(r) + (r.problem.empty() ? "" : ": " + r.problem);
    return text;
}

// Advances the run with the test's clock while its pipes say something,
// until done says so.
bool drive(AttemptSeries& run, Clock::time_point now, const std::function<bool()>& done)
{
    const auto give_up = Clock::now() + GUARD;
    while (!done()) {
        if (Clock::now() > give_up)
            return false;
        std::vector<pollfd> fds;
        for (int fd : run.fds())
            fds.push_back({fd, POLLIN, 0});
        bool readable = poll(fds.data(), fds.size(), 20) > 0;
        run.advance(now, readable);
    }
    return true;
}

TEST_P(AttemptSeriesTest, ComesToItsVerdict)
{
    const std::string dir = make_temp_dir();
    const std::string tool = dir + "/dudedoved";
    std::ofstream(tool) << "#!/bin/sh\nruns=$(cat " << dir << "/runs 2>/dev/null || echo 0)\nruns=$((runs + 1))\n"
                        << "echo $runs > " << dir << "/runs\n" << GetParam().script << "\n";
    chmod(tool.c_str(), 0755);
    StationSettings settings;
    settings.dudedoved = tool;
    settings.wake_timeout_s = GetParam().wake_timeout_s;
    settings.retests = GetParam().retests;
    AttemptSeries run({"/dev/ttyUSB0", "B1", "", "", ""}, settings, dir);
    Clock::time_point now = Clock::now();
    run.start(now);
    if (GetParam().jump_when) {
        ASSERT_TRUE(drive(run, now, [&] { return GetParam().jump_when(run.record()) || run.done(); }))
            << phase_text(run.record());
        now += std::chrono::seconds(GetParam().jump_s);
    }
    ASSERT_TRUE(drive(run, now, [&] { return run.done(); })) << phase_text(run.record());
    EXPECT_EQ(outcomes(run), GetParam().attempts);
    EXPECT_EQ(run.record().intermittent, GetParam().intermittent);
}

bool in_sram(const AttemptRecord& r)
{
    return r.running_test == TEST_SRAM;
}

bool waiting_for_the_board(const AttemptRecord& r)
{
    return r.phase == Phase::WAITING_FOR_BOARD;
}

bool waiting_to_retest(const AttemptRecord& r)
{
    return r.phase == Phase::WAITING_TO_RETEST;
}

const std::string WAKE = std::string("echo '") + WAKE_UP_MESSAGE + "'\necho 'Downloading... done'\n";
const std::string SDRAM_FLASH = "echo 'Testing SDRAM... passed'\necho 'Testing FLASH... passed'\n";
const std::string PASSES = WAKE + SDRAM_FLASH + "echo 'Testing SRAM... passed'\n";

INSTANTIATE_TEST_SUITE_P(
    Station, AttemptSeriesTest,
    testing::Values(
        RunCase{"Passes", PASSES, nullptr, 0, 0, 0, "passed", false},
        RunCase{"FailsATest", WAKE + "echo 'Testing SDRAM... passed'\necho 'Testing FLASH... failed'\n"
                                     "echo 'Testing SRAM... passed'\nexit 1",
                nullptr, 0, 0, 0, "failed FLASH", false},
        RunCase{"FallsSilentInATest", WAKE + SDRAM_FLASH + "printf 'Testing SRAM... '\nexec sleep 60", in_sram, 31, 0, 0,
                "hung in SRAM: no output from the board in SRAM for 30 s", false},
        RunCase{"NeverWakes", std::string("echo '") + WAKE_UP_MESSAGE + "'\nexec sleep 60", waiting_for_the_board, 6, 5, 0,
                "hung at the wake-up: no wake-up byte in 5 s", false},
        RunCase{"LosesItsPort", WAKE + "echo 'Testing SDRAM... passed'\n"
                                       "echo 'Lost serial port /dev/ttyUSB0 (Input/output error)' >&2\nexit 1",
                nullptr, 0, 0, 0, "lost: Lost serial port /dev/ttyUSB0 (Input/output error)", false},
        RunCase{"CannotOpenItsPort",
                "echo 'Could not open serial port /dev/ttyUSB0: No such file or directory' >&2\nexit 1", nullptr, 0, 0, 0,
                "not tested: Could not open serial port /dev/ttyUSB0: No such file or directory", false},
        RunCase{"IsRetestedAfterAFailure",
                "if [ $runs = 1 ]; then echo 'Testing SDRAM... failed'; echo 'Testing FLASH... passed'; "
                "echo 'Testing SRAM... passed'; exit 1; fi\n" + PASSES,
                waiting_to_retest, 3, 0, 1, "failed SDRAM; passed", true}),
    [](const testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace korvastation

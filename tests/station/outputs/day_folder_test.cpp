// The day folder as a served station's own record: an attempt goes into
// the file of the day it started, and under a file size limit a record is
// whole or absent, waits, and is written once the disk takes it again.
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "station/outputs/day_folder.h"
#include "station/run/record_text.h"
#include "tests/support/session.h"

namespace korvastation {
namespace {

AttemptRecord attempt_started(std::chrono::system_clock::time_point start, const std::string& serial)
{
    AttemptRecord r;
    r.id = "bench1/run/" + serial;
    r.board = {"p1", serial, "", "F1", ""};
    r.start = start;
    r.end = start + std::chrono::minutes(2);
    r.verdict = Verdict::PASSED;
    r.log = std::string(600, 'l');  // a record of a kilobyte or so
    return r;
}

std::vector<std::string> lines_of(const std::string& path)
{
    std::istringstream text(read_file(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    return lines;
}

TEST(DayFolder, AnAttemptThatCrossesMidnightStaysWithTheDayItStarted)
{
    const std::string dir = make_temp_dir();
    DayFolder days(dir, {"1", "ab", "bench1", "run"});
    // An attempt of a day gone by goes to that day's file, whenever it ends.
    const auto before_midnight = std::chrono::system_clock::now() - std::chrono::hours(24 * 30);
    days.take(attempt_started(before_midnight, "KV1"));
    const std::string day = day_of(before_midnight);
    ASSERT_EQ(lines_of(dir + "/" + day + "/attempts.jsonl").size(), 1u);
    EXPECT_EQ(days.read_back(3).front().label, "KV1");
}

TEST(DayFolder, UnderAFileSizeLimitARecordIsWholeOrAbsentAndWaits)
{
    const std::string dir = make_temp_dir();
    const auto now = std::chrono::system_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        // As under `ulimit -f 8`, in a process of its own.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit small = {8 * 1024, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &small);
        DayFolder days(dir, {"1", "ab", "bench1", "run"});
        int serial = 0;
        while (days.trouble().empty() && serial < 100)
            days.take(attempt_started(now, "KV" + std::to_string(++serial)));
        const bool told = days.trouble().rfind("cannot write the records: the file size limit reached in " + dir, 0) == 0;
        const rlimit large = {RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &large);
        _exit(told && days.waiting() == 1 && days.retry() && days.trouble().empty() ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // Every line whole, none twice, none lost.
    DayFolder days(dir, {"1", "ab", "bench1", "run"});
    const std::vector<StoredAttempt> back = days.read_back(1);
    const std::vector<std::string> lines = lines_of(dir + "/" + day_of(now) + "/attempts.jsonl");
    ASSERT_GT(lines.size(), 2u);
    EXPECT_EQ(back.size(), lines.size()) << "a line that is no whole record";
    for (size_t i = 0; i < back.size(); ++i)
        EXPECT_EQ(back[i].label, "KV" + std::to_string(i + 1));
}

} // namespace
} // namespace korvastation

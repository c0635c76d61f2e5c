// The hand-off on the test's own clock: a command that fails three times
// and then takes the record, one that hangs, one that leaves a child
// behind, one that floods its output, and the outbox across a restart.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <poll.h>

#include "station/outputs/hand_off.h"
#include "tests/support/session.h"

namespace korvastation {
namespace {

using Clock = std::chrono::steady_clock;

AttemptRecord attempt(const std::string& serial)
{
    AttemptRecord r;
    r.id = "bench1/run/" + serial;
    r.board = {"p1", serial, "", "F1", ""};
    r.verdict = Verdict::PASSED;
    return r;
}

class HandOffTest : public testing::Test {
protected:
    HandOffTest() : dir_(make_temp_dir()), now_(Clock::now()) {}

    std::unique_ptr<HandOff> hand_off(const std::string& command)
    {
        auto h = std::make_unique<HandOff>(command, RecordContext{"1", "ab", "bench1", "run"}, dir_ + "/outbox.jsonl",
                                           [this] { return now_; });
        EXPECT_TRUE(h->open());
        return h;
    }

    // Checks the hand-off, the clock moving on a second each time, until
    // done says so or for turns checks; the messages told.
    std::vector<std::string> run(HandOff& h, const std::function<bool()>& done, int turns = 1000)
    {
        std::vector<std::string> told;
        const auto give_up = Clock::now() + std::chrono::seconds(20);
        for (int turn = 0; turn < turns && !done() && Clock::now() < give_up; ++turn) {
            std::vector<pollfd> fds;
            for (int fd : h.fds())
                fds.push_back({fd, POLLIN, 0});
            poll(fds.data(), fds.size(), 20);
            for (const std::string& message : h.check(now_))
                told.push_back(message);
            now_ += std::chrono::seconds(1);
        }
        return told;
    }

    std::string dir_;
    Clock::time_point now_;
};

TEST_F(HandOffTest, ACommandThatFailsThreeTimesGetsTheRecordsInOrderOnce)
{
    auto h = hand_off("n=$(cat " + dir_ + "/tries 2>/dev/null || echo 0); echo $((n + 1)) > " + dir_ +
                      "/tries; if [ $n -lt 3 ]; then echo busy >&2; exit 1; fi; cat >> " + dir_ + "/got");
    h->take(attempt("KV1"));
    h->take(attempt("KV2"));
    EXPECT_EQ(h->waiting(), 2u);
    const auto told = run(*h, [&] { return h->waiting() == 0; });
    ASSERT_EQ(h->waiting(), 0u);
    ASSERT_EQ(told.size(), 3u);
    EXPECT_EQ(told[0], "--on-attempt command for KV1 failed with status 1 (busy); tried again in 1 s (2 waiting)");
    EXPECT_EQ(told[2], "--on-attempt command for KV1 failed with status 1 (busy); tried again in 4 s (2 waiting)");
    const std::string got = read_file(dir_ + "/got");
    EXPECT_LT(got.find("\"label\":\"KV1\""), got.find("\"label\":\"KV2\""));
    EXPECT_EQ(count_of(got, "\"station\":\"bench1\""), 2u);
    EXPECT_EQ(count_of(got, "}\n"), 2u) << "a line each";
    EXPECT_EQ(read_file(dir_ + "/outbox.jsonl"), "");
}

TEST_F(HandOffTest, ARecordWaitsAcrossARestart)
{
    {
        auto h = hand_off("exit 1");
        h->take(attempt("KV1"));
        run(*h, [&] { return false; }, 5);
    }
    auto h = hand_off("cat > " + dir_ + "/got");
    EXPECT_EQ(h->waiting(), 1u);
    run(*h, [&] { return h->waiting() == 0; });
    EXPECT_NE(read_file(dir_ + "/got").find("\"label\":\"KV1\""), std::string::npos);
}

TEST_F(HandOffTest, AHangingCommandIsKilledAndTriedAgain)
{
    auto h = hand_off("exec sleep 600");
    h->take(attempt("KV1"));
    const auto told = run(*h, [&] { return false; }, 40);
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told[0], "--on-attempt command for KV1 did not end in 30 s: killed; tried again in 1 s (1 waiting)");
    EXPECT_EQ(h->waiting(), 1u);
}

TEST_F(HandOffTest, WhatTheCommandLeavesRunningEndsWithItAndAFloodCostsNoMore)
{
    auto h = hand_off("(sleep 25; echo left > " + dir_ + "/left) & head -c 50000000 /dev/zero; cat > /dev/null");
    h->take(attempt("KV1"));
    run(*h, [&] { return h->waiting() == 0; });
    EXPECT_EQ(h->waiting(), 0u);
    // The child it left is gone: its group was ended with it.
    EXPECT_NE(system("pgrep -f 'slee[p] 25' > /dev/null"), 0);
}

} // namespace
} // namespace korvastation

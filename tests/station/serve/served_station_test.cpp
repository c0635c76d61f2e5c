// The served station on a scripted dudedoved: scans start fixtures, each
// attempt goes to the day's file and the database as it ends, the page's
// snapshot follows, and a stop records what was under test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unistd.h>

#include "station/run/record_text.h"
#include "station/store/result_store.h"
#include "station/serve/served_station.h"
#include "tests/station/serve/served_station_fixture.h"

namespace korvastation {
namespace {

TEST_F(ServedStationTest, AScanStartsItsFixtureAndTheVerdictStays)
{
    tool_->plan("p1", "pass");
    tool_->plan("p2", "fail SRAM");
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(scan("F1").message, "fixture F1 selected: scan its board");
    EXPECT_EQ(scan("KV000001").message, "KV000001 into fixture F1");
    EXPECT_EQ(scan("KV000002", "F2").message, "KV000002 into fixture F2");
    ASSERT_TRUE(turn_until([&] {
        return panel("F1").state == Fixture::State::VERDICT && panel("F2").state == Fixture::State::VERDICT &&
               snapshot_.line.boards == 2;
    })) << terminal();
    EXPECT_EQ(panel("F1").board->verdict, Verdict::PASSED);
    EXPECT_EQ(panel("F2").board->verdict, Verdict::FAILED);
    EXPECT_EQ(snapshot_.line.first_pass, 1);
    // Each attempt in the day's file at once, with its fixture and identity.
    const std::string records = day_file();
    EXPECT_EQ(count_of(records, "\n"), 2u) << records;
    EXPECT_NE(records.find("\"fixture\":\"F2\""), std::string::npos) << records;
    EXPECT_NE(records.find("\"id\":\"bench1/"), std::string::npos) << records;
    // A board that passed today asks for a second scan.
    scan("F1");
    EXPECT_EQ(scan("KV000001").message, "KV000001 passed today already: scan it again to test it again in fixture F1");
    EXPECT_EQ(scan("KV000001").message, "KV000001 into fixture F1");
    EXPECT_EQ(stop(), 0);
}

TEST_F(ServedStationTest, ALineTooLongForAScanIsRefusedOnceAndNoneOfItTaken)
{
    // A fixture's name, then a flood, then a serial number, all on one
    // line: neither the fixture nor the serial at its tail is taken, and
    // the scans after it are read as they come.
    tool_->plan("p2", "pass");
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC), 0);
    ASSERT_NO_FATAL_FAILURE(start(pipe_fds[0]));
    std::thread typist([&] {
        const std::string lines = "F1" + std::string(2 * 1024 * 1024, 'X') + "KV000777\nF2\nKV000778\n";
        for (size_t at = 0; at < lines.size();) {
            pollfd p = {pipe_fds[1], POLLOUT, 0};
            poll(&p, 1, 1000);
            const ssize_t n = write(pipe_fds[1], lines.data() + at, lines.size() - at);
            if (n > 0)
                at += static_cast<size_t>(n);
        }
        close(pipe_fds[1]);
    });
    const bool tested = turn_until([&] { return panel("F2").state == Fixture::State::VERDICT; });
    typist.join();
    close(pipe_fds[0]);
    ASSERT_TRUE(tested) << terminal();
    EXPECT_EQ(panel("F1").state, Fixture::State::IDLE);
    EXPECT_EQ(count_of(terminal(), "refused: no serial number is that long"), 1u) << terminal().substr(0, 2000);
    EXPECT_NE(terminal().find("a scan of " + std::to_string(2 + 2 * 1024 * 1024 + 8) + " characters refused"),
              std::string::npos);
    EXPECT_EQ(day_file().find("KV000777"), std::string::npos);
    EXPECT_NE(day_file().find("KV000778"), std::string::npos);
}

TEST_F(ServedStationTest, ThreeBoardsAlikeStopTheFixtureUntilItIsChecked)
{
    config_.fixtures.resize(1);
    tool_->plan("p1", "fail SDRAM");
    ASSERT_NO_FATAL_FAILURE(start());
    for (int board = 1; board <= 3; ++board) {
        ASSERT_EQ(scan("KV00000" + std::to_string(board)).status, 200) << terminal();
        ASSERT_TRUE(turn_until([&] { return panel("F1").state != Fixture::State::TESTING; })) << terminal();
    }
    // Judged once the third board's record is complete.
    EXPECT_TRUE(turn_until([&] { return panel("F1").state == Fixture::State::CHECK; })) << terminal();
    EXPECT_NE(terminal().find("fixture F1: check the fixture (its last 3 boards all failed SDRAM); then scan "
                              "CHECKED:F1 or press Fixture checked on the page"),
              std::string::npos)
        << terminal();
    EXPECT_EQ(scan("KV000004").status, 400);
    EXPECT_EQ(station_->act({"confirm-fixture", {{"fixture", "F1"}}}).status, 200);
    EXPECT_EQ(panel("F1").state, Fixture::State::IDLE);
    EXPECT_EQ(station_->act({"no-such-action", {}}).message, "no action 'no-such-action' at this station");
}

TEST_F(ServedStationTest, AStopRecordsTheBoardUnderTest)
{
    tool_->plan("p1", "hang FLASH");
    ASSERT_NO_FATAL_FAILURE(start());
    scan("KV000001", "F1");
    ASSERT_TRUE(turn_until([&] { return panel("F1").board && panel("F1").board->running_test == TEST_FLASH; }));
    EXPECT_EQ(stop(), 0);
    EXPECT_NE(day_file().find("\"verdict\":\"stopped\""), std::string::npos) << day_file();
    EXPECT_NE(terminal().find("F1 KV000001: done: stopped"), std::string::npos) << terminal();
}

// What happened at the station goes into the day folder and the database
// with who did it; a restart keeps the day's last operator.
TEST_F(ServedStationTest, EventsAreRecordedAndTheOperatorSurvivesARestart)
{
    config_.fixtures.resize(1);
    config_.health_window = 1;
    config_.operator_name = "from-the-configuration";
    tool_->plan("p1", "hang FLASH");
    config_.settings.silence_timeout_s = 1;
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_EQ(station_->act({"operator", {{"name", "ann"}}}).status, 200);
    ASSERT_EQ(scan("KV000001").status, 200);
    ASSERT_TRUE(turn_until([&] { return panel("F1").state == Fixture::State::CHECK; })) << terminal();
    // A printed barcode at the terminal clears it, as the page's button does.
    EXPECT_EQ(station_->act({"scan", {{"text", "CHECKED:F1"}, {"point", "terminal"}}}).message,
              "fixture F1 takes boards again");
    EXPECT_EQ(panel("F1").state, Fixture::State::IDLE);
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_EQ(station_->snapshot(Clock::now()).operator_name, "ann");
    const std::string events = read_file(config_.records_dir + "/" + day_of(std::chrono::system_clock::now()) +
                                         "/events.jsonl");
    EXPECT_EQ(count_of(events, "\n"), 2u) << events;
    EXPECT_NE(events.find("\"kind\":\"fixture checked\",\"fixture\":\"F1\",\"operator\":\"ann\","
                          "\"detail\":\"its last board hung in FLASH\""),
              std::string::npos)
        << events;
    std::unique_ptr<ResultStore> store;
    ASSERT_TRUE(open_result_store(config_.settings.db, &store));
    std::vector<StationEvent> stored;
    ASSERT_TRUE(turn_until([&] {
        stored.clear();
        return store->load_events({}, &stored) && stored.size() == 2;
    })) << stored.size();
    EXPECT_EQ(stored[0].kind + " " + stored[0].detail, "operator ann");
    EXPECT_EQ(stored[1].kind + " " + stored[1].fixture, "fixture checked F1");
    EXPECT_EQ(stop(), 0);
}

// However a board comes back (the button, a re-scan, a restart of the
// station between), it is one board of the day: its attempts are numbered
// on, the records, the page's yield and the database agree.
TEST_F(ServedStationTest, ABoardTestedAgainIsOneBoardOfTheDay)
{
    config_.fixtures.resize(1);
    tool_->plan("p1", "fail SRAM\npass\npass\npass");
    ASSERT_NO_FATAL_FAILURE(start());
    const auto verdict = [&] { return turn_until([&] { return panel("F1").state == Fixture::State::VERDICT; }); };
    ASSERT_EQ(scan("KV000001").status, 200);
    ASSERT_TRUE(verdict()) << terminal();
    ASSERT_EQ(station_->act({"retest", {{"fixture", "F1"}}}).status, 200);
    ASSERT_TRUE(verdict()) << terminal();
    EXPECT_EQ(panel("F1").board->retest, 1);
    EXPECT_TRUE(panel("F1").board->intermittent);
    // Passed today: the re-scan asks for a second scan, then goes on counting.
    EXPECT_EQ(scan("KV000001").message, "KV000001 passed today already: scan it again to test it again in fixture F1");
    ASSERT_EQ(scan("KV000001").status, 200);
    ASSERT_TRUE(verdict()) << terminal();
    EXPECT_EQ(panel("F1").board->retest, 2);
    ASSERT_NO_FATAL_FAILURE(restart());
    scan("KV000001");
    ASSERT_EQ(scan("KV000001").status, 200);
    ASSERT_TRUE(verdict()) << terminal();
    EXPECT_EQ(panel("F1").board->retest, 3);
    ASSERT_TRUE(turn_until([&] { return panel("F1"), snapshot_.line.retested == 1 && snapshot_.line.final_pass == 1; }));
    EXPECT_EQ(snapshot_.line.boards, 1);
    EXPECT_EQ(snapshot_.line.first_pass, 0);
    std::vector<std::string> retests;
    std::istringstream lines(day_file());
    for (std::string line; std::getline(lines, line);)
        retests.push_back(std::to_string(nlohmann::json::parse(line).value("retest", -1)));
    // A failure's record waits for its diagnosis: the file keeps the order
    // in which the records became complete.
    std::sort(retests.begin(), retests.end());
    EXPECT_EQ(retests, (std::vector<std::string>{"0", "1", "2", "3"}));
    EXPECT_EQ(stop(), 0);
}

// The day's file is the station's own record: a database file deleted under
// the station is noticed, made anew, and given every attempt of the day.
TEST_F(ServedStationTest, ADatabaseFileDeletedUnderTheStationIsMadeAgainWithTheDaysRecords)
{
    tool_->plan("p1", "pass");
    ASSERT_NO_FATAL_FAILURE(start());
    scan("KV000001", "F1");
    ASSERT_TRUE(turn_until([&] { return snapshot_.line.boards == 1 || (panel("F1"), snapshot_.line.boards == 1); }));
    ASSERT_EQ(unlink(config_.settings.db.c_str()), 0);
    scan("KV000002", "F1");
    ASSERT_TRUE(turn_until([&] { return terminal().find("was deleted or replaced under the station") != std::string::npos; }))
        << terminal();
    std::unique_ptr<ResultStore> store;
    ASSERT_TRUE(open_result_store(config_.settings.db, &store));
    std::vector<StoredAttempt> held;
    ASSERT_TRUE(turn_until([&] {
        held.clear();
        return store->load({}, &held) && held.size() == 2;
    })) << held.size();
    EXPECT_EQ(held[0].label + " " + held[1].label, "KV000001 KV000002");
    EXPECT_EQ(stop(), 0);
}

} // namespace
} // namespace korvastation

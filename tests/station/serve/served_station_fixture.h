// A served station on a scripted dudedoved, turned by the test: scans and
// actions go in as the page's would, the snapshot and the terminal are
// read back.
#ifndef KORVA_TESTS_SERVED_STATION_FIXTURE_H
#define KORVA_TESTS_SERVED_STATION_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>

#include "station/run/record_text.h"
#include "station/serve/served_station.h"
#include "tests/station/support/scripted_tool.h"
#include "tests/support/session.h"

namespace korvastation {

using Clock = std::chrono::steady_clock;

class ServedStationTest : public testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        tool_ = std::make_unique<ScriptedTool>(dir_);
        config_.settings.dudedoved = tool_->path();
        config_.settings.station_name = "bench1";
        config_.settings.db = dir_ + "/records.db";
        config_.records_dir = dir_ + "/records";
        config_.advice = {{Verdict::FAILED, "red tray"}};
        // Ports of the test's own: a station locks its fixtures' ports.
        config_.fixtures = {fixture_of("F1", dir_ + "/p1"), fixture_of("F2", dir_ + "/p2")};
        terminal_ = open_memstream(&shown_, &shown_size_);
    }

    void TearDown() override
    {
        station_.reset();
        fclose(terminal_);
        free(shown_);
    }

    void start(int scans_fd = -1)
    {
        station_ = std::make_unique<ServedStation>(config_, terminal_, scans_fd);
        const korvasim::Result opened = station_->open();
        ASSERT_TRUE(opened) << opened.why();
    }

    ActionReply scan(const std::string& text, const std::string& fixture = "")
    {
        return station_->act({"scan", {{"text", text}, {"fixture", fixture}}});
    }

    // Turns the loop until done says so, for at most a few seconds.
    bool turn_until(const std::function<bool()>& done)
    {
        const auto give_up = Clock::now() + std::chrono::seconds(20);
        while (!done() && Clock::now() < give_up)
            if (!station_->turn(interrupts_))
                return done();
        return done();
    }

    // Stops the station as a SIGTERM would: its exit status.
    int stop()
    {
        interrupts_ = 1;
        while (station_->turn(interrupts_)) {
        }
        return station_->finish(interrupts_);
    }

    // Stops the station and starts it again on the same folders.
    void restart()
    {
        ASSERT_EQ(stop(), 0);
        station_.reset();
        interrupts_ = 0;
        ASSERT_NO_FATAL_FAILURE(start());
    }

    const FixturePanel& panel(const std::string& name)
    {
        snapshot_ = station_->snapshot(Clock::now());
        for (const FixturePanel& p : snapshot_.panels)
            if (p.name == name)
                return p;
        throw std::runtime_error("no fixture " + name);
    }

    std::string day_file() const
    {
        return read_file(config_.records_dir + "/" + day_of(std::chrono::system_clock::now()) + "/attempts.jsonl");
    }

    std::string terminal()
    {
        fflush(terminal_);
        return std::string(shown_, shown_size_);
    }

    std::string dir_;
    std::unique_ptr<ScriptedTool> tool_;
    ServeConfig config_;
    std::atomic<int> interrupts_{0};
    std::unique_ptr<ServedStation> station_;
    OperatorSnapshot snapshot_;
    FILE* terminal_ = nullptr;
    char* shown_ = nullptr;
    size_t shown_size_ = 0;
};

} // namespace korvastation

#endif

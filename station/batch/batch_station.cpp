#include "station/batch/batch_station.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "station/image_digest.h"
#include "station/batch/live_view.h"
#include "station/page/page_assets.h"
#include "station/run/installation.h"
#include "station/run/record_text.h"
#include "station/run/user_messages.h"
#include "station/store/database_name.h"

namespace korvastation {

using korvasim::Result;

namespace {

const int TABLE_REFRESH_MS = 500;
// The longest the end of a run waits for the database: a few statements'
// time-outs, and a server that is gone is not waited for longer.
const auto DATABASE_WAIT = std::chrono::seconds(60);

// The boards' final attempts decide; a power switch that failed is a
// station fault whatever the board did.
int exit_status(const std::vector<AttemptRecord>& records)
{
    int status = 0;
    for (const AttemptRecord& r : records) {
        if (!r.final_attempt)
            continue;
        if (untested(r.verdict) || !r.power_problem.empty())
            status = EXIT_UNTESTED;
        else if (r.verdict == Verdict::FAILED && status == 0)
            status = EXIT_FAILED;
    }
    return status;
}

} // namespace

BatchStation::BatchStation(StationSettings settings, std::unique_ptr<Display> display,
                           std::function<Clock::time_point()> clock)
    : settings_(std::move(settings)), core_(settings_, std::move(clock)), display_(std::move(display))
{
}

Result BatchStation::open()
{
    if (const Result identified = core_.identify("--dudedoved"); !identified)
        return identified;
    log_dir_ = settings_.log_dir.empty() ? default_log_dir() : settings_.log_dir;
    if (!make_dirs(log_dir_))
        return Result::failure("cannot make the log folder " + log_dir_ + ": " + strerror(errno));
    if (const Result opened = open_outputs(); !opened)
        return opened;
    if (!settings_.http.empty()) {
        page_ = std::make_unique<PageServer>(LIVE_PAGE_HTML, "/live.js", LIVE_PAGE_SCRIPT);
        std::string reachable;
        if (const Result started =
                core_.serve_page(settings_.http, page_.get(), {"testing", "done"}, &page_url_, &reachable);
            !started)
            return started;
        tell_user("dashboard at " + page_url_);
        if (!reachable.empty())
            tell_user("the dashboard can be reached from other machines (" + reachable + ")");
    }
    core_.watch_yield();
    for (const BoardSpec& board : settings_.boards)
        boards_.push_back(std::make_shared<AttemptSeries>(board, settings_, log_dir_));
    return Result::ok();
}

// The record files, then the database: a file that cannot take records is
// refused before any board is touched. A server out of reach costs the
// testing nothing while the files keep every record; the exit status tells.
Result BatchStation::open_outputs()
{
    std::vector<std::string> labels;
    for (const BoardSpec& board : settings_.boards)
        labels.push_back(board.label);
    const RecordContext context = core_.record_context();
    if (!settings_.json_path.empty()) {
        json_ = std::make_unique<RecordFilesSink>(RecordFilesSink::Format::JSON, context, labels);
        if (const Result opened = json_->open(settings_.json_path, settings_.append); !opened)
            return opened;
        core_.add_sink(json_.get());
    }
    if (!settings_.junit_path.empty()) {
        junit_ = std::make_unique<RecordFilesSink>(RecordFilesSink::Format::JUNIT, context, labels);
        if (const Result opened = junit_->open(settings_.junit_path, false); !opened)
            return opened;
        core_.add_sink(junit_.get());
    }
    if (settings_.db.empty())
        return Result::ok();
    std::unique_ptr<ResultStore> store;
    if (const Result opened = open_result_store(settings_.db, &store); !opened) {
        if (!is_server_uri(settings_.db) || (!json_ && !junit_))
            return opened;
        tell_user(opened.why() + "; the records go to the files only");
        database_failed_ = true;
        return Result::ok();
    }
    core_.use_database(std::move(store), DatabaseWorker::Refused::COUNTED);
    return Result::ok();
}

void BatchStation::run(const std::atomic<int>& interrupts, std::atomic<bool>& resized)
{
    for (auto& board : boards_)
        board->start(core_.now());
    publish(core_.now());
    int stops_sent = 0;
    last_drawn_ = core_.now() - std::chrono::hours(1);
    for (;;) {
        // CTRL-C: every board stops; a second one does not wait for them.
        if (interrupts > stops_sent) {
            stops_sent = interrupts;
            for (auto& board : boards_)
                board->stop();
        }
        const StationCore::Turn turn = core_.turn(boards_, {});
        std::vector<BoardEvent> events;
        for (const auto& board_events : turn.events)
            events.insert(events.end(), board_events.begin(), board_events.end());
        remember(events);
        const bool all_done = std::all_of(boards_.begin(), boards_.end(), [](const auto& b) { return b->done(); });
        // Once a second at least: a silent board's seconds and a burn-in's
        // time go on by themselves.
        if (turn.changed || turn.now - published_ >= std::chrono::seconds(1))
            publish(turn.now);
        show(turn.changed, events, all_done, resized.exchange(false));
        if (all_done)
            return;
        core_.rest(turn);
    }
}

// The page shows what happened last, newest first; the rest went to the
// terminal or the event lines as it happened.
void BatchStation::remember(const std::vector<BoardEvent>& events)
{
    for (const BoardEvent& e : events) {
        recent_events_.push_back(e);
        if (recent_events_.size() > RECENT_EVENTS)
            recent_events_.pop_front();
    }
}

void BatchStation::publish(Clock::time_point now)
{
    published_ = now;
    if (!core_.page())
        return;
    LivePageSnapshot snapshot;
    snapshot.station = core_.station_name();
    snapshot.day = core_.yield().day();
    snapshot.mine = core_.yield().station_row();
    for (const YieldRow& other : core_.yield().tally().by_station)
        if (other.key != snapshot.station)
            snapshot.others.push_back(other);
    snapshot.recent = recent_events_;
    std::vector<FixtureGauge> ports;
    for (const auto& board : boards_) {
        snapshot.tiles.push_back({board->attempts(), board->progress(now), board->silent_seconds(now),
                                  board->burn_in_progress(now)});
        ports.push_back({board->record().board.port, board->done() ? "done" : "testing"});
    }
    core_.page()->publish(live_page_state(snapshot));
    core_.page()->publish_metrics(core_.metrics()->text(ports));
}

void BatchStation::show(bool changed, const std::vector<BoardEvent>& events, bool all_done, bool resized)
{
    const auto now = core_.now();
    if (!display_->terminal()) {
        if (!events.empty())
            display_->events(events);
        return;
    }
    if ((changed && now - last_drawn_ > std::chrono::milliseconds(TABLE_REFRESH_MS)) || all_done || resized) {
        std::vector<const AttemptRecord*> table;
        for (const auto& board : boards_)
            table.push_back(&board->record());
        display_->table(table);
        last_drawn_ = now;
    }
}

int BatchStation::finish(const std::atomic<int>& interrupts)
{
    // A request to stop (a second one, if the first stopped the run), or
    // a server that takes all of DATABASE_WAIT, ends the wait.
    const int asked = interrupts;
    const auto deadline = std::chrono::steady_clock::now() + DATABASE_WAIT;
    const std::vector<std::string> failures = core_.finish(
        [&] { return interrupts == asked && interrupts < 2 && std::chrono::steady_clock::now() < deadline; });
    std::vector<AttemptRecord> all;
    for (const auto& board : boards_)
        for (AttemptRecord& attempt : board->attempts())
            all.push_back(std::move(attempt));
    publish(core_.now());
    int status = exit_status(all);
    for (const std::string& failure : failures) {
        tell_user(failure);
        status = EXIT_UNTESTED;
    }
    if (DatabaseSink* database = core_.database(); database && database->missing() > 0) {
        std::string files;
        for (const std::string& path : {settings_.json_path, settings_.junit_path})
            if (!path.empty())
                files += (files.empty() ? "" : " and ") + path;
        tell_user(database->first_failure() + ": " + std::to_string(database->missing()) + " of " +
                  std::to_string(all.size()) + " attempts are not in the database" +
                  (files.empty() ? " and are in no other record"
                                 : " (" + files + (files.find(" and ") != std::string::npos ? " have" : " has") +
                                       " them all)"));
        status = EXIT_UNTESTED;
    }
    if (database_failed_)
        status = EXIT_UNTESTED;
    display_->summary(all, status);
    return status;
}

void BatchStation::keep_page(const std::atomic<int>& interrupts)
{
    // Asked twice to stop, the station does not linger.
    if (!core_.page() || interrupts >= 2)
        return;
    // Read before the word is out: a stop sent on seeing it must count.
    const int seen = interrupts;
    tell_user("the run is over; its page stays at " + page_url_ + " until CTRL-C");
    while (interrupts == seen)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

} // namespace korvastation

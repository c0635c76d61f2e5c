#include "station/station.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "station/image_digest.h"
#include "station/run/installation.h"
#include "station/store/database_name.h"

namespace korvastation {

using korvasim::Result;

namespace {

const int TABLE_REFRESH_MS = 500;
const int BATCH_MS = 20;
const auto LINE_REFRESH = std::chrono::seconds(10);
// The longest the end of a run waits for the database: a few statements'
// time-outs, and a server that is gone is not waited for longer.
const auto DATABASE_WAIT = std::chrono::seconds(60);

// The boards' final attempts decide; a power switch that failed is a
// station fault whatever the board did.
int exit_status(const std::vector<BoardRecord>& records)
{
    int status = 0;
    for (const BoardRecord& r : records) {
        if (!r.final_attempt)
            continue;
        if (untested(r.verdict) || !r.power_problem.empty())
            status = EXIT_UNTESTED;
        else if (r.verdict == Verdict::FAILED && status == 0)
            status = EXIT_FAILED;
    }
    return status;
}

std::string today_utc()
{
    return iso_time(std::chrono::system_clock::now()).substr(0, 10);
}

} // namespace

void tell_user(const std::string& message)
{
    fprintf(stderr, "korvastation: %s\n", message.c_str());
}

Station::Station(StationSettings options, std::unique_ptr<Display> display)
    : options_(std::move(options)), display_(std::move(display))
{
}

Result Station::open()
{
    if (options_.dudedoved.empty()) {
        if (const Result found = find_dudedoved(&options_.dudedoved); !found)
            return found;
    } else if (access(options_.dudedoved.c_str(), X_OK) != 0) {
        return Result::failure("cannot run --dudedoved " + options_.dudedoved + ": " + strerror(errno));
    }
    log_dir_ = options_.log_dir.empty() ? default_log_dir() : options_.log_dir;
    if (!make_dirs(log_dir_))
        return Result::failure("cannot make the log folder " + log_dir_ + ": " + strerror(errno));
    if (!options_.json_path.empty())
        if (const Result opened = json_.open(options_.json_path, options_.append); !opened)
            return opened;
    if (!options_.junit_path.empty())
        if (const Result opened = junit_.open(options_.junit_path, false); !opened)
            return opened;
    // A file that cannot take records is refused before any board is
    // touched, as a record file is. A server out of reach costs the testing
    // nothing while the files keep every record; the exit status tells.
    if (!options_.db.empty()) {
        std::unique_ptr<ResultStore> store;
        if (const Result opened = open_result_store(options_.db, &store); !opened) {
            if (!is_server_uri(options_.db) || (options_.json_path.empty() && options_.junit_path.empty()))
                return opened;
            tell_user(opened.why() + "; the records go to the files only");
            database_failed_ = true;
        } else {
            database_ = std::make_unique<DatabaseWorker>(std::move(store));
        }
    }
    station_name_ = options_.station_name.empty() ? host_name() : options_.station_name;
    run_id_ = station_name_ + "/" + iso_time(std::chrono::system_clock::now()) + "/" + std::to_string(getpid());
    today_.day = today_utc();
    if (!options_.http.empty()) {
        dashboard_ = std::make_unique<Dashboard>(DASHBOARD_PAGE);
        std::string reachable;
        if (const Result started = dashboard_->start(options_.http, &page_url_, &reachable); !started)
            return started;
        tell_user("dashboard at " + page_url_);
        metrics_ = std::make_unique<LineMetrics>(station_name_, KORVA_VERSION, BOOT_IMAGE_SHA256,
                                                 std::vector<std::string>{"testing", "done"});
        if (!reachable.empty())
            tell_user("the dashboard can be reached from other machines (" + reachable + ")");
        if (database_)
            ask_line_today(today_.day);
    }
    diagnoses_ = std::make_unique<DiagnosisWorker>();
    for (const BoardSpec& board : options_.boards)
        runs_.push_back(std::make_unique<BoardRun>(board, options_, log_dir_));
    return Result::ok();
}

void Station::run(const std::atomic<int>& interrupts, std::atomic<bool>& resized)
{
    for (auto& run : runs_)
        run->start(Clock::now());
    publish();
    int stops_sent = 0;
    line_asked_ = Clock::now();
    last_drawn_ = Clock::now() - std::chrono::hours(1);
    for (;;) {
        // Only the boards with something to read are read: dudedoved writes
        // its console a byte at a time.
        std::vector<pollfd> fds;
        std::vector<size_t> owner;
        for (size_t i = 0; i < runs_.size(); ++i)
            for (int fd : runs_[i]->fds()) {
                fds.push_back({fd, POLLIN, 0});
                owner.push_back(i);
            }
        poll(fds.data(), fds.size(), 100);
        std::vector<bool> readable(runs_.size(), false);
        for (size_t k = 0; k < fds.size(); ++k)
            if (fds[k].revents)
                readable[owner[k]] = true;
        const auto now = Clock::now();
        // CTRL-C: every board stops; a second one does not wait for them.
        if (interrupts > stops_sent) {
            stops_sent = interrupts;
            for (auto& run : runs_)
                run->stop();
        }
        bool changed = false;
        std::vector<BoardEvent> events;
        for (size_t i = 0; i < runs_.size(); ++i) {
            changed = runs_[i]->advance(now, readable[i]) || changed;
            for (BoardEvent& e : runs_[i]->take_events())
                events.push_back(std::move(e));
        }
        remember(events);
        changed = take_finished_attempts() || changed;
        changed = take_diagnoses() || changed;
        changed = refresh_line_today(now) || changed;
        const bool all_done = std::all_of(runs_.begin(), runs_.end(), [](const auto& r) { return r->done(); });
        // Once a second at least: a silent board's seconds and a burn-in's
        // time go on by themselves.
        if (changed || !events.empty() || now - published_ >= std::chrono::seconds(1)) {
            publish();
            published_ = now;
        }
        show(changed, events, all_done, resized.exchange(false));
        if (all_done)
            return;
        // Let the bytes gather: the station reads in bursts, not per byte.
        if (std::find(readable.begin(), readable.end(), true) != readable.end())
            std::this_thread::sleep_for(std::chrono::milliseconds(BATCH_MS));
    }
}

bool Station::take_finished_attempts()
{
    bool changed = false;
    for (size_t i = 0; i < runs_.size(); ++i)
        for (int k : runs_[i]->take_finished()) {
            const BoardRecord& attempt = runs_[i]->attempt(k);
            if (attempt.verdict == Verdict::FAILED) {
                diagnoses_->submit(i, k, attempt.verbose_log.empty() ? attempt.log : attempt.verbose_log);
            } else {
                store(attempt);
            }
            changed = true;
        }
    return changed;
}

bool Station::take_diagnoses()
{
    const std::vector<AttemptDiagnosis> done = diagnoses_->take_done();
    for (const AttemptDiagnosis& d : done) {
        BoardRecord& attempt = runs_[d.board]->attempt(d.attempt);
        attempt.diagnosis = d.faults;
        attempt.diagnosis_note = d.note;
        std::copy(std::begin(d.failure_report), std::end(d.failure_report), attempt.failure_report);
        store(attempt);
    }
    return !done.empty();
}

void Station::store(const BoardRecord& attempt)
{
    if (metrics_)
        metrics_->add_attempt(attempt, attempt.board.port);
    if (database_)
        database_->add(stored_attempt(attempt, station_name_, run_id_));
}

// The other stations of the line write to the database meanwhile: their
// yield is asked for now and then, and taken when the answer came.
bool Station::refresh_line_today(Clock::time_point now)
{
    if (!dashboard_ || !database_)
        return false;
    if (now - line_asked_ > LINE_REFRESH) {
        ask_line_today(today_utc());
        line_asked_ = now;
    }
    std::optional<YieldTally> answer = database_->take_yield();
    if (!answer)
        return false;
    today_.day = today_utc();
    today_.stations = std::move(answer->by_station);
    return true;
}

// This run's boards are on the page already: the database counts the rest.
void Station::ask_line_today(const std::string& day)
{
    StoreFilter boards;
    boards.since = boards.until = day;
    boards.leave_out_run = run_id_;
    database_->ask_yield(boards);
}

// The page shows what happened last, newest first; the rest went to the
// terminal or the event lines as it happened.
void Station::remember(const std::vector<BoardEvent>& events)
{
    for (const BoardEvent& e : events) {
        recent_events_.push_back(e);
        if (recent_events_.size() > RECENT_EVENTS)
            recent_events_.pop_front();
    }
}

void Station::publish()
{
    if (!dashboard_)
        return;
    std::vector<const BoardRun*> tiles;
    for (const auto& run : runs_)
        tiles.push_back(run.get());
    dashboard_->publish(dashboard_state(station_name_, tiles, options_, today_, recent_events_));
    std::vector<FixtureGauge> ports;
    for (const auto& run : runs_)
        ports.push_back({run->record().board.port, run->done() ? "done" : "testing"});
    dashboard_->publish_metrics(metrics_->text(ports));
}

void Station::show(bool changed, const std::vector<BoardEvent>& events, bool all_done, bool resized)
{
    const auto now = Clock::now();
    if (!display_->terminal()) {
        if (!events.empty())
            display_->events(events);
        return;
    }
    if (((changed || !events.empty()) && now - last_drawn_ > std::chrono::milliseconds(TABLE_REFRESH_MS)) ||
        all_done || resized) {
        std::vector<const BoardRecord*> table;
        for (const auto& run : runs_)
            table.push_back(&run->record());
        display_->table(table);
        last_drawn_ = now;
    }
}

int Station::finish(const std::atomic<int>& interrupts)
{
    // Every failed attempt's diagnosis is part of its records.
    while (diagnoses_->pending()) {
        diagnoses_->wait(100);
        take_diagnoses();
    }
    std::vector<BoardRecord> all;
    for (const auto& run : runs_)
        for (BoardRecord& attempt : run->attempts())
            all.push_back(std::move(attempt));
    publish();
    int written = exit_status(all);
    const RecordContext context{KORVA_VERSION, BOOT_IMAGE_SHA256};
    if (json_.is_open())
        if (const Result r = json_.write(json_records(all, context)); !r) {
            tell_user(r.why());
            written = EXIT_UNTESTED;
        }
    if (junit_.is_open())
        if (const Result r = junit_.write(junit_report(all)); !r) {
            tell_user(r.why());
            written = EXIT_UNTESTED;
        }
    if (database_) {
        // A request to stop (a second one, if the first stopped the run), or
        // a server that takes all of DATABASE_WAIT, ends the wait.
        const int asked = interrupts;
        const auto deadline = Clock::now() + DATABASE_WAIT;
        database_->drain([&] { return interrupts == asked && interrupts < 2 && Clock::now() < deadline; });
        if (database_->missing() > 0) {
            std::string files;
            for (const std::string& path : {options_.json_path, options_.junit_path})
                if (!path.empty())
                    files += (files.empty() ? "" : " and ") + path;
            tell_user(database_->first_failure() + ": " + std::to_string(database_->missing()) + " of " +
                      std::to_string(all.size()) + " attempts are not in the database" +
                      (files.empty() ? " and are in no other record"
                                     : " (" + files + (files.find(" and ") != std::string::npos ? " have" : " has") +
                                           " them all)"));
            written = EXIT_UNTESTED;
        }
    }
    if (database_failed_)
        written = EXIT_UNTESTED;
    display_->summary(all, written);
    return written;
}

void Station::keep_page(const std::atomic<int>& interrupts)
{
    // Asked twice to stop, the station does not linger.
    if (!dashboard_ || interrupts >= 2)
        return;
    // Read before the word is out: a stop sent on seeing it must count.
    const int seen = interrupts;
    tell_user("the run is over; its page stays at " + page_url_ + " until CTRL-C");
    while (interrupts == seen)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

} // namespace korvastation

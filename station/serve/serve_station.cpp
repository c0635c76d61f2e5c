#include "station/serve/serve_station.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "station/image_digest.h"
#include "station/outputs/records.h"
#include "station/run/installation.h"
#include "station/store/database_name.h"
#include "station/station.h"

namespace korvastation {

using korvasim::Result;

namespace {

const auto YIELD_REFRESH = std::chrono::seconds(10);
const auto PUBLISH_EVERY = std::chrono::milliseconds(200);
// dudedoved writes its console a byte at a time: the loop lets the bytes
// gather instead of waking for each.
const auto BATCH = std::chrono::milliseconds(20);
const auto YIELD_AFTER_RECORD = std::chrono::seconds(1);
// After a request to stop, the boards' dudedoved are given this long to
// end before they are killed, and the database as long again.
const auto STOP_WAIT = std::chrono::seconds(5);

// A fixture's state as a metric's label: one word.
std::string metric_state(Fixture::State state)
{
    std::string name = fixture_state_name(state);
    for (char& c : name)
        if (c == ' ')
            c = '_';
    return name;
}

} // namespace

std::string ServeStation::metrics_text() const
{
    std::vector<FixtureGauge> fixtures;
    for (const auto& f : fixtures_)
        fixtures.push_back({f->spec().name, metric_state(f->state())});
    return metrics_->text(fixtures);
}

ServeStation::ServeStation(ServeConfig config, FILE* terminal, int scans_fd)
    : config_(std::move(config)), events_(terminal, false, [] { return size_t(80); }), scans_fd_(scans_fd),
      days_(config_.records_dir), hook_(config_.on_attempt)
{
    operator_ = config_.operator_name;
}

ServeStation::~ServeStation()
{
    if (page_)
        page_->stop();
}

Result ServeStation::open()
{
    StationSettings& s = config_.settings;
    if (s.dudedoved.empty()) {
        if (const Result found = find_dudedoved(&s.dudedoved); !found)
            return found;
    } else if (access(s.dudedoved.c_str(), X_OK) != 0) {
        return Result::failure("cannot run dudedoved " + s.dudedoved + ": " + strerror(errno));
    }
    std::string folder;
    if (const Result made = days_.today(&folder); !made)
        return made;
    station_name_ = s.station_name.empty() ? host_name() : s.station_name;
    run_id_ = station_name_ + "/" + iso_time(std::chrono::system_clock::now()) + "/" + std::to_string(getpid());
    day_ = utc_day();
    for (const FixtureSpec& f : config_.fixtures) {
        fixtures_.push_back(std::make_unique<Fixture>(f, config_.settings, config_.health_window));
        board_runs_.emplace_back();
    }
    // A service's records must reach a database it can rely on: one out of
    // reach at the start is a mistake to mend first, not to work around.
    if (!s.db.empty()) {
        std::unique_ptr<ResultStore> store;
        if (const Result opened = open_result_store(s.db, &store); !opened)
            return opened;
        read_the_day(*store);
        database_ = std::make_unique<DatabaseWorker>(std::move(store));
    }
    desk_ = std::make_unique<ScanDesk>(config_, [this](const std::string& serial) { return passed_today_.count(serial) > 0; });
    diagnoses_ = std::make_unique<DiagnosisWorker>();
    mailbox_ = std::make_unique<ActionMailbox>();
    if (!s.http.empty()) {
        page_ = std::make_unique<Dashboard>(OPERATOR_PAGE);
        std::vector<std::string> states;
        for (Fixture::State state : {Fixture::State::IDLE, Fixture::State::TESTING, Fixture::State::VERDICT,
                                     Fixture::State::CHECK})
            states.push_back(metric_state(state));
        metrics_ = std::make_unique<LineMetrics>(station_name_, KORVA_VERSION, BOOT_IMAGE_SHA256, states);
        page_->accept_actions([this](const PageAction& a) { return mailbox_->ask(a); }, config_.token);
        std::string url, reachable;
        if (const Result started = page_->start(s.http, &url, &reachable); !started)
            return started;
        tell_user("operator's page at " + url);
        if (!reachable.empty())
            tell_user("the operator's page can be reached from other machines (" + reachable +
                      "); its actions need the token");
    }
    return Result::ok();
}

// A station started again during the day shows the day's boards again
// and knows which passed.
void ServeStation::read_the_day(ResultStore& store)
{
    StoreFilter today;
    today.since = today.until = day_;
    today.station = station_name_;
    std::vector<StoredAttempt> attempts;
    if (const Result loaded = store.load(today, &attempts); !loaded) {
        tell_user("cannot read the day's boards back: " + loaded.why());
        return;
    }
    for (const StoredAttempt& a : attempts) {
        if (!a.final_attempt || a.fixture.empty())
            continue;
        if (a.verdict == verdict_name(Verdict::PASSED))
            passed_today_.insert(a.label);
        for (auto& fixture : fixtures_)
            if (fixture->spec().name == a.fixture)
                fixture->remember({a.label, a.verdict, a.verdict, a.end});
    }
    yield_wanted_ = true;
}

int ServeStation::run(const std::atomic<int>& interrupts)
{
    int stops_sent = 0;
    Clock::time_point stop_asked, published;
    bool unpublished = false;  // a change the page has not shown yet
    for (;;) {
        std::vector<pollfd> fds = {{mailbox_->fd(), POLLIN, 0}};
        const bool scans_polled = scans_fd_ >= 0 && !stopping_;
        if (scans_polled)
            fds.push_back({scans_fd_, POLLIN, 0});
        const size_t boards_from = fds.size();
        std::vector<size_t> owner;
        for (size_t i = 0; i < fixtures_.size(); ++i)
            for (int fd : fixtures_[i]->fds()) {
                fds.push_back({fd, POLLIN, 0});
                owner.push_back(i);
            }
        for (int fd : hook_.fds())
            fds.push_back({fd, POLLIN, 0});
        poll(fds.data(), fds.size(), 100);
        const auto now = Clock::now();
        if (interrupts > stops_sent) {
            stops_sent = interrupts;
            if (!stopping_)
                stop_asked = now;
            stopping_ = true;
            for (auto& f : fixtures_)
                f->stop();
        }
        // A dudedoved that does not end on the first stop is stopped again.
        if (stopping_ && now - stop_asked > STOP_WAIT && stops_sent < 2) {
            stops_sent = 2;
            for (auto& f : fixtures_)
                f->stop();
        }
        answer_letters(now);
        if (scans_polled && fds[1].revents)
            read_scans();
        std::vector<bool> readable(fixtures_.size(), false);
        for (size_t k = 0; k < owner.size(); ++k)
            if (fds[boards_from + k].revents)
                readable[owner[k]] = true;
        bool changed = unpublished;
        changed = advance_fixtures(now, readable) || changed;
        changed = take_finished_attempts() || changed;
        changed = take_diagnoses() || changed;
        check_hook(now);
        changed = refresh_yield(now) || changed;
        // A change shows within PUBLISH_EVERY; a silent board's seconds go
        // on by themselves once a second.
        unpublished = changed;
        if (page_ && ((changed && now - published >= PUBLISH_EVERY) || now - published >= std::chrono::seconds(1))) {
            page_->publish(page_state(now));
            page_->publish_metrics(metrics_text());
            published = now;
            unpublished = false;
        }
        const bool testing = std::any_of(fixtures_.begin(), fixtures_.end(),
                                         [](const auto& f) { return f->state() == Fixture::State::TESTING; });
        if (stopping_ && !testing && !diagnoses_->pending())
            break;
        if (std::find(readable.begin(), readable.end(), true) != readable.end())
            std::this_thread::sleep_for(BATCH);
    }
    int status = 0;
    if (database_) {
        const auto deadline = Clock::now() + STOP_WAIT + STOP_WAIT;
        database_->drain([&] { return interrupts < 3 && Clock::now() < deadline; });
        if (database_->missing() > 0) {
            tell_user(database_->first_failure() + ": " + std::to_string(database_->missing()) +
                      " attempts are not in the database (the day's " + DayFolder::RECORDS_FILE + " has them)");
            status = EXIT_UNTESTED;
        }
    }
    return status;
}

bool ServeStation::advance_fixtures(Clock::time_point now, const std::vector<bool>& readable)
{
    bool changed = false;
    std::vector<BoardEvent> events;
    for (size_t i = 0; i < fixtures_.size(); ++i) {
        changed = fixtures_[i]->advance(now, readable[i]) || changed;
        for (BoardEvent& e : fixtures_[i]->take_events()) {
            e.board = fixtures_[i]->spec().name + " " + e.board;
            events.push_back(std::move(e));
        }
    }
    if (!events.empty())
        events_.events(events);
    return changed || !events.empty();
}

bool ServeStation::take_finished_attempts()
{
    bool changed = false;
    for (size_t i = 0; i < fixtures_.size(); ++i) {
        BoardRun* run = fixtures_[i]->run();
        if (!run)
            continue;
        for (int k : run->take_finished()) {
            const BoardRecord& attempt = run->attempt(k);
            if (attempt.verdict == Verdict::FAILED) {
                diagnosing_[next_ticket_] = {attempt, board_runs_[i]};
                diagnoses_->submit(next_ticket_++, 0, attempt.verbose_log.empty() ? attempt.log : attempt.verbose_log);
            } else {
                record(attempt, board_runs_[i]);
            }
            changed = true;
        }
    }
    return changed;
}

bool ServeStation::take_diagnoses()
{
    const std::vector<AttemptDiagnosis> done = diagnoses_->take_done();
    for (const AttemptDiagnosis& d : done) {
        auto& [attempt, run] = diagnosing_.at(d.board);
        attempt.diagnosis = d.faults;
        attempt.diagnosis_note = d.note;
        std::copy(std::begin(d.failure_report), std::end(d.failure_report), attempt.failure_report);
        // The fixture's panel shows the diagnosis while the board is its last.
        for (auto& f : fixtures_)
            if (f->run() && f->run()->record().board.label == attempt.board.label &&
                f->run()->record().start == attempt.start) {
                f->run()->record().diagnosis = attempt.diagnosis;
                f->run()->record().diagnosis_note = attempt.diagnosis_note;
            }
        record(attempt, run);
        diagnosing_.erase(d.board);
    }
    return !done.empty();
}

// Into the day's file, the database and the line's own command, each on
// its own: one that fails costs the others nothing.
void ServeStation::record(const BoardRecord& attempt, const std::string& run)
{
    const std::string line = json_record(attempt, {KORVA_VERSION, BOOT_IMAGE_SHA256});
    if (const Result appended = days_.append(line); !appended)
        tell_user(appended.why());
    if (database_)
        database_->add(stored_attempt(attempt, station_name_, run));
    if (metrics_)
        metrics_->add_attempt(attempt, attempt.board.fixture);
    if (hook_.given()) {
        const std::string what = attempt.board.label + (attempt.retest ? " retest " + std::to_string(attempt.retest) : "");
        if (const std::string why = hook_.send(line, what, Clock::now()); !why.empty())
            tell_user(why);
    }
    if (attempt.final_attempt && attempt.verdict == Verdict::PASSED)
        passed_today_.insert(attempt.board.label);
    yield_wanted_ = true;
}

void ServeStation::check_hook(Clock::time_point now)
{
    for (const std::string& why : hook_.check(now))
        tell_user(why);
}

// The day's yield is the database's (this station's boards are in it as
// soon as they end), asked for after new records and now and then for the
// other stations'.
bool ServeStation::refresh_yield(Clock::time_point now)
{
    // A new day: the boards that passed yesterday may be tested again
    // without asking.
    const bool new_day = utc_day() != day_;
    if (new_day) {
        day_ = utc_day();
        passed_today_.clear();
        yield_ = {};
    }
    if (!database_)
        return new_day;
    if (new_day || now - yield_asked_ > YIELD_REFRESH || (yield_wanted_ && now - yield_asked_ > YIELD_AFTER_RECORD)) {
        StoreFilter day;
        day.since = day.until = day_;
        database_->ask_yield(day);
        yield_asked_ = now;
        yield_wanted_ = false;
    }
    std::optional<YieldTally> answer = database_->take_yield();
    if (!answer)
        return false;
    yield_ = std::move(*answer);
    return true;
}

} // namespace korvastation

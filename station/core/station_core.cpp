#include "station/core/station_core.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "station/image_digest.h"
#include "station/run/installation.h"
#include "station/run/record_text.h"

namespace korvastation {

using korvasim::Result;

namespace {

const int POLL_MS = 100;
const auto BATCH = std::chrono::milliseconds(20);

} // namespace

StationCore::StationCore(StationSettings& settings, std::function<Clock::time_point()> clock)
    : settings_(settings), clock_(std::move(clock))
{
}

Result StationCore::identify(const std::string& named_by)
{
    if (settings_.dudedoved.empty()) {
        if (const Result found = find_dudedoved(&settings_.dudedoved); !found)
            return found;
    } else if (access(settings_.dudedoved.c_str(), X_OK) != 0) {
        return Result::failure("cannot run " + named_by + " " + settings_.dudedoved + ": " + strerror(errno));
    }
    // A power command that cannot run is a mistake found before any board.
    for (const PowerCommandLine* line : {&settings_.power_on, &settings_.power_off})
        if (const Result runs = line->check_program(); !runs)
            return runs;
    station_name_ = settings_.station_name.empty() ? host_name() : settings_.station_name;
    run_id_ = station_name_ + "/" + iso_time(std::chrono::system_clock::now()) + "/" + std::to_string(getpid());
    pipeline_.identify(run_id_);
    return Result::ok();
}

RecordContext StationCore::record_context() const
{
    return {KORVA_VERSION, BOOT_IMAGE_SHA256, station_name_, run_id_};
}

void StationCore::use_database(std::unique_ptr<ResultStore> store, DatabaseWorker::Refused refused)
{
    database_ = std::make_unique<DatabaseSink>(std::move(store), refused, station_name_, run_id_);
    add_sink(database_.get());
}

void StationCore::watch_yield()
{
    yield_ = std::make_unique<YieldWatch>(database_ ? &database_->worker() : nullptr, station_name_);
    add_sink(yield_.get());
    yield_->refresh(now(), day_of(std::chrono::system_clock::now()));
}

Result StationCore::serve_page(const std::string& address, PageServer* page, std::vector<std::string> states,
                               std::string* url, std::string* reachable)
{
    if (const Result started = page->start(address, url, reachable); !started)
        return started;
    page_ = page;
    metrics_ = std::make_unique<LineMetrics>(station_name_, KORVA_VERSION, BOOT_IMAGE_SHA256, std::move(states));
    add_sink(metrics_.get());
    return Result::ok();
}

StationCore::Turn StationCore::turn(const std::vector<std::shared_ptr<AttemptSeries>>& boards,
                                    const std::vector<int>& inputs)
{
    std::vector<pollfd> fds;
    for (int fd : inputs)
        fds.push_back({fd, POLLIN, 0});
    std::vector<size_t> owner;
    for (size_t i = 0; i < boards.size(); ++i)
        for (int fd : boards[i]->fds()) {
            fds.push_back({fd, POLLIN, 0});
            owner.push_back(i);
        }
    poll(fds.data(), fds.size(), POLL_MS);
    Turn turn;
    turn.now = now();
    for (size_t k = 0; k < inputs.size(); ++k)
        turn.inputs.push_back(fds[k].revents != 0);
    // Only the boards with something to read are read.
    std::vector<bool> readable(boards.size(), false);
    for (size_t k = 0; k < owner.size(); ++k)
        if (fds[inputs.size() + k].revents) {
            readable[owner[k]] = true;
            turn.boards_spoke = true;
        }
    for (size_t i = 0; i < boards.size(); ++i) {
        turn.changed = boards[i]->advance(turn.now, readable[i]) || turn.changed;
        turn.events.push_back(boards[i]->take_events());
        turn.changed = !turn.events.back().empty() || turn.changed;
        turn.changed = pipeline_.take_finished(boards[i]) || turn.changed;
    }
    turn.changed = pipeline_.take_diagnoses() || turn.changed;
    if (yield_)
        turn.changed = yield_->refresh(turn.now, day_of(std::chrono::system_clock::now())) || turn.changed;
    return turn;
}

void StationCore::rest(const Turn& turn) const
{
    if (turn.boards_spoke)
        std::this_thread::sleep_for(BATCH);
}

std::vector<std::string> StationCore::finish(const std::function<bool()>& keep_waiting)
{
    // Every failed attempt's diagnosis is part of its records.
    while (pipeline_.diagnosing()) {
        pipeline_.wait_for_diagnosis(100);
        pipeline_.take_diagnoses();
    }
    return pipeline_.finish(keep_waiting);
}

} // namespace korvastation

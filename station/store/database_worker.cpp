#include "station/store/database_worker.h"

#include <set>
#include <variant>

namespace korvastation {

using Write = std::variant<StoredAttempt, StationEvent, StoredRepair, std::vector<StoredAttempt>>;

struct DatabaseWorker::Shared {
    std::unique_ptr<ResultStore> store;
    Refused refused;
    std::mutex mutex;
    std::condition_variable wake, idle;
    std::deque<Write> queue;
    std::optional<StoreFilter> yield_asked;
    std::optional<YieldTally> yield_answer;
    std::optional<unsigned long> routes_asked;
    std::optional<std::pair<std::vector<BoardRoute>, unsigned long>> routes_answer;
    std::deque<std::pair<unsigned long, std::string>> histories_asked;
    std::vector<DatabaseWorker::BoardHistory> histories;
    bool reading() const { return yield_asked || routes_asked || !histories_asked.empty(); }
    bool busy = false;
    bool stopping = false;
    std::string trouble;
    std::chrono::duration<double> pause{1};
    size_t missing = 0;
    std::string first_failure;
    std::vector<std::string> notices;
};

namespace {

// The writes of one queued item; a catch-up's attempts are those the
// database does not hold yet, asked for by their days.
korvasim::Result write(ResultStore& store, const Write& item)
{
    if (const auto* attempt = std::get_if<StoredAttempt>(&item))
        return store.add(*attempt);
    if (const auto* event = std::get_if<StationEvent>(&item))
        return store.add_event(*event);
    if (const auto* repair = std::get_if<StoredRepair>(&item))
        return store.add_repair(*repair);
    std::set<std::string> days, held;
    for (const StoredAttempt& a : std::get<std::vector<StoredAttempt>>(item))
        days.insert(a.start.substr(0, 10));
    for (const std::string& day : days)
        if (const korvasim::Result r = store.stored_ids({day, day, "", ""}, &held); !r)
            return r;
    for (const StoredAttempt& a : std::get<std::vector<StoredAttempt>>(item))
        if (!held.count(a.id))
            if (const korvasim::Result r = store.add(a); !r)
                return r;
    return korvasim::Result::ok();
}

size_t writes_in(const Write& item)
{
    const auto* many = std::get_if<std::vector<StoredAttempt>>(&item);
    return many ? many->size() : 1;
}

} // namespace

DatabaseWorker::DatabaseWorker(std::unique_ptr<ResultStore> store, Refused refused)
    : shared_(std::make_shared<Shared>())
{
    shared_->store = std::move(store);
    shared_->refused = refused;
    thread_ = std::thread(work, shared_);
}

DatabaseWorker::~DatabaseWorker()
{
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->wake.notify_all();
    if (abandoned_)
        thread_.detach();  // it holds its own share of the state
    else
        thread_.join();
}

// One of the reads asked for, once no write waits: the answer reads what
// every write queued before it made.
void DatabaseWorker::read(Shared& shared, std::unique_lock<std::mutex>& lock)
{
    if (shared.yield_asked) {
        const StoreFilter boards = *shared.yield_asked;
        shared.yield_asked.reset();
        lock.unlock();
        YieldTally tally;
        const bool read = static_cast<bool>(count_day(*shared.store, boards, &tally));
        lock.lock();
        if (read)
            shared.yield_answer = std::move(tally);
    } else if (shared.routes_asked) {
        const unsigned long ticket = *shared.routes_asked;
        shared.routes_asked.reset();
        lock.unlock();
        std::vector<BoardRoute> routes;
        const bool read = static_cast<bool>(shared.store->load_routes(&routes));
        lock.lock();
        if (read)
            shared.routes_answer = std::make_pair(std::move(routes), ticket);
    } else {
        const auto [ticket, label] = shared.histories_asked.front();
        shared.histories_asked.pop_front();
        lock.unlock();
        BoardHistory history;
        history.ticket = ticket;
        StoreFilter board;
        board.label = label;
        history.read = shared.store->load(board, &history.attempts);
        if (history.read)
            history.read = shared.store->load_repairs(board, &history.repairs);
        lock.lock();
        shared.histories.push_back(std::move(history));
    }
}

void DatabaseWorker::work(const std::shared_ptr<Shared>& shared)
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->stopping || !shared->queue.empty() || shared->reading(); });
        if (shared->stopping)
            return;
        shared->busy = true;
        if (!shared->queue.empty()) {
            const Write item = shared->queue.front();
            lock.unlock();
            const korvasim::Result written = write(*shared->store, item);
            const std::string notice = shared->store->take_notice();
            lock.lock();
            if (!notice.empty())
                shared->notices.push_back(notice);
            if (written || shared->refused == Refused::COUNTED) {
                shared->queue.pop_front();
                shared->trouble.clear();
                shared->pause = std::chrono::seconds(1);
                if (!written && shared->missing++ == 0)
                    shared->first_failure = written.why();
            } else {
                // Tried again after a pause that grows while the database
                // stays away; a request to stop ends the pause.
                shared->trouble = written.why();
                shared->busy = false;
                shared->idle.notify_all();
                shared->wake.wait_for(lock, shared->pause, [&] { return shared->stopping; });
                shared->pause = std::min(shared->pause * 2, std::chrono::duration<double>(LONGEST_PAUSE_S));
                continue;
            }
        } else {
            read(*shared, lock);
        }
        shared->busy = false;
        shared->idle.notify_all();
    }
}

void DatabaseWorker::add(StoredAttempt attempt)
{
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->queue.push_back(std::move(attempt));
    }
    shared_->wake.notify_all();
}

void DatabaseWorker::add(StationEvent event)
{
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->queue.push_back(std::move(event));
    }
    shared_->wake.notify_all();
}

void DatabaseWorker::add(StoredRepair repair)
{
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->queue.push_back(std::move(repair));
    }
    shared_->wake.notify_all();
}

void DatabaseWorker::ask_routes(unsigned long ticket)
{
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->routes_asked = ticket;
    }
    shared_->wake.notify_all();
}

std::optional<std::pair<std::vector<BoardRoute>, unsigned long>> DatabaseWorker::take_routes()
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return std::exchange(shared_->routes_answer, std::nullopt);
}

void DatabaseWorker::ask_history(unsigned long ticket, const std::string& label)
{
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->histories_asked.emplace_back(ticket, label);
    }
    shared_->wake.notify_all();
}

std::vector<DatabaseWorker::BoardHistory> DatabaseWorker::take_histories()
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return std::exchange(shared_->histories, {});
}

void DatabaseWorker::catch_up(std::vector<StoredAttempt> attempts)
{
    if (attempts.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->queue.push_back(std::move(attempts));
    }
    shared_->wake.notify_all();
}

void DatabaseWorker::ask_yield(const StoreFilter& boards)
{
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->yield_asked = boards;
    }
    shared_->wake.notify_all();
}

std::optional<YieldTally> DatabaseWorker::take_yield()
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    std::optional<YieldTally> answer;
    answer.swap(shared_->yield_answer);
    return answer;
}

bool DatabaseWorker::drain(const std::function<bool()>& keep_waiting)
{
    std::unique_lock<std::mutex> lock(shared_->mutex);
    while (!shared_->queue.empty() || shared_->busy) {
        if (!keep_waiting()) {
            // What is left counts as not written; the statement under way
            // may still end, but nobody waits for it.
            for (const Write& item : shared_->queue)
                shared_->missing += writes_in(item);
            if (shared_->first_failure.empty())
                shared_->first_failure =
                    shared_->trouble.empty() ? "the station stopped waiting for the database" : shared_->trouble;
            shared_->queue.clear();
            abandoned_ = true;
            return false;
        }
        shared_->idle.wait_for(lock, std::chrono::milliseconds(100));
    }
    return true;
}

size_t DatabaseWorker::waiting() const
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->trouble.empty())
        return 0;
    size_t writes = 0;
    for (const Write& item : shared_->queue)
        writes += writes_in(item);
    return writes;
}

std::string DatabaseWorker::trouble() const
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->trouble;
}

std::vector<std::string> DatabaseWorker::take_notices()
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return std::exchange(shared_->notices, {});
}

size_t DatabaseWorker::missing() const
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->missing;
}

std::string DatabaseWorker::first_failure() const
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->first_failure;
}

} // namespace korvastation

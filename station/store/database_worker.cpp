#include "station/store/database_worker.h"

namespace korvastation {

struct DatabaseWorker::Shared {
    std::unique_ptr<ResultStore> store;
    std::mutex mutex;
    std::condition_variable wake, idle;
    std::deque<StoredAttempt> queue;
    std::optional<StoreFilter> yield_asked;
    std::optional<YieldTally> yield_answer;
    bool busy = false;
    bool stopping = false;
    size_t missing = 0;
    std::string first_failure;
};

DatabaseWorker::DatabaseWorker(std::unique_ptr<ResultStore> store) : shared_(std::make_shared<Shared>())
{
    shared_->store = std::move(store);
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

void DatabaseWorker::work(const std::shared_ptr<Shared>& shared)
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->stopping || !shared->queue.empty() || shared->yield_asked; });
        if (shared->stopping)
            return;
        shared->busy = true;
        if (!shared->queue.empty()) {
            const StoredAttempt attempt = std::move(shared->queue.front());
            shared->queue.pop_front();
            lock.unlock();
            const korvasim::Result added = shared->store->add(attempt);
            lock.lock();
            if (!added && shared->missing++ == 0)
                shared->first_failure = added.why();
        } else {
            const StoreFilter boards = *shared->yield_asked;
            shared->yield_asked.reset();
            lock.unlock();
            YieldTally tally;
            const bool read = static_cast<bool>(count_day(*shared->store, boards, &tally));
            lock.lock();
            if (read)
                shared->yield_answer = std::move(tally);
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
            shared_->missing += shared_->queue.size() + (shared_->busy ? 1 : 0);
            if (shared_->first_failure.empty())
                shared_->first_failure = "the station stopped waiting for the database";
            shared_->queue.clear();
            abandoned_ = true;
            return false;
        }
        shared_->idle.wait_for(lock, std::chrono::milliseconds(100));
    }
    return true;
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

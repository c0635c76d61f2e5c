#include "station/outputs/database_sink.h"

#include "station/outputs/records.h"

namespace korvastation {

DatabaseSink::DatabaseSink(std::unique_ptr<ResultStore> store, DatabaseWorker::Refused refused, std::string station,
                           std::string run)
    : worker_(std::move(store), refused), station_(std::move(station)), run_(std::move(run))
{
}

void DatabaseSink::take(const AttemptRecord& attempt)
{
    worker_.add(stored_attempt(attempt, station_, run_));
}

korvasim::Result DatabaseSink::finish(const std::function<bool()>& keep_waiting)
{
    worker_.drain(keep_waiting);
    return korvasim::Result::ok();
}

} // namespace korvastation

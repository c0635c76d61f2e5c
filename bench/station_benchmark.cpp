// The station's records in its databases: a line's worth of attempts
// written one transaction each, into SQLite and into a real PostgreSQL
// server started for the purpose; the yield of such a line counted, with
// the memory it took; and its failed boards read for the route check.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "station/store/result_store.h"
#include "tests/support/postgres_server.h"

namespace {

using namespace korvastation;

const int BOARDS = 64;
const int PASSES = 1000;

// Fixture b's record of pass p: one attempt of a board of its own, so that
// the line's day has BOARDS x PASSES boards to count.
StoredAttempt pass_of(int b, int p)
{
    StoredAttempt a;
    a.station = "bench";
    a.run = "run" + std::to_string(p);
    a.label = "SN" + std::to_string(100000 + p * BOARDS + b);
    a.port = "/dev/ttyUSB" + std::to_string(b);
    a.start = "2026-12-09T08:00:00.000Z";
    a.end = "2026-12-09T08:00:02.000Z";
    a.verdict = b % 16 == 0 ? "failed" : "passed";
    a.passes = 1;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        a.counts[t][0] = 1;
    if (b % 16 == 0) {
        a.counts[TEST_SRAM][0] = 0;
        a.counts[TEST_SRAM][1] = 1;
        a.diagnosis = {"SRAM data line 3 stuck at 0"};
    }
    return a;
}

// Every board's every pass into the database at where; false with the
// benchmark's error when one could not be.
bool record_every_pass(benchmark::State& state, const std::string& where)
{
    std::unique_ptr<ResultStore> store;
    if (!open_result_store(where, &store)) {
        state.SkipWithError("cannot open the database");
        return false;
    }
    for (int p = 0; p < PASSES; ++p)
        for (int b = 0; b < BOARDS; ++b)
            if (!store->add(pass_of(b, p))) {
                state.SkipWithError("a record failed");
                return false;
            }
    return true;
}

// A SQLite file in a folder of its own, removed with it however the
// benchmark ends.
class ScratchDatabase {
public:
    ScratchDatabase() : made_(mkdtemp(dir_) != nullptr) {}
    ~ScratchDatabase()
    {
        std::error_code ignored;
        if (made_)
            std::filesystem::remove_all(dir_, ignored);
    }
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    bool made() const { return made_; }
    std::string path() const { return std::string(dir_) + "/records.db"; }

private:
    char dir_[24] = "/tmp/korva-bench-XXXXXX";
    bool made_;
};

void record_line(benchmark::State& state, const std::string& where)
{
    for (auto _ : state)
        if (!record_every_pass(state, where))
            return;
    state.counters["attempts/s"] =
        benchmark::Counter(static_cast<double>(BOARDS * PASSES), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_RecordLineSqlite(benchmark::State& state)
{
    const ScratchDatabase scratch;
    if (!scratch.made()) {
        state.SkipWithError("no temporary folder");
        return;
    }
    record_line(state, scratch.path());
}
BENCHMARK(BM_RecordLineSqlite)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_RecordLinePostgres(benchmark::State& state)
{
    PostgresServer server;
    if (!server.available()) {
        state.SkipWithError(server.why().c_str());
        return;
    }
    record_line(state, server.uri());
}
BENCHMARK(BM_RecordLinePostgres)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// The report's counting of BOARDS x PASSES attempts, in a child of its own so
// that its peak memory is its own: it must not grow with the database.
void BM_YieldOfALineSqlite(benchmark::State& state)
{
    const ScratchDatabase scratch;
    if (!scratch.made()) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string where = scratch.path();
    if (!record_every_pass(state, where))
        return;
    long peak_kb = 0;
    for (auto _ : state) {
        const pid_t child = fork();
        if (child == 0) {
            std::unique_ptr<ResultStore> store;
            YieldTally tally;
            const bool counted = open_result_store(where, &store) && count_all(*store, {}, &tally) &&
                                 tally.total.boards == BOARDS * PASSES;
            _exit(counted ? 0 : 1);
        }
        int status = 0;
        rusage usage = {};
        if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the counting failed");
            break;
        }
        peak_kb = usage.ru_maxrss;
    }
    state.counters["peak_rss_kB"] = static_cast<double>(peak_kb);
}
BENCHMARK(BM_YieldOfALineSqlite)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// The route check's reading of the line: every board whose last attempt
// failed (one in 16 of BOARDS x PASSES here), which a served station reads
// every few seconds off its loop.
void BM_RoutesOfALineSqlite(benchmark::State& state)
{
    const ScratchDatabase scratch;
    if (!scratch.made()) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string where = scratch.path();
    std::unique_ptr<ResultStore> store;
    if (record_every_pass(state, where) && open_result_store(where, &store))
        for (auto _ : state) {
            std::vector<BoardRoute> routes;
            if (!store->load_routes(&routes) || routes.size() != size_t(BOARDS / 16 * PASSES)) {
                state.SkipWithError("the routes were not read");
                break;
            }
        }
}
BENCHMARK(BM_RoutesOfALineSqlite)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

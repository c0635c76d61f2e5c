// Simulator speed on the real boot image: the start-up's delay loops, the
// quiet tests, the longest report (verbose SDRAM test with pacing), one
// fault's run of the coverage split up, the coverage reports from saved
// states against fresh boots, and the memory of one simulator over many
// power-ups.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>
#include <memory>
#include <string>

#include "sim/board/board.h"
#include "sim/program/coverage_report.h"
#include "firmware/boot_image.h"

namespace {

using korvasim::Board;

void boot(Board& board)
{
    if (!board.boot(std::vector<uint8_t>(boot_image, boot_image + BOOT_IMAGE_SIZE), 60000))
        throw std::runtime_error("no prompt: " + board.fault());
}

void command(Board& board, const char* bytes)
{
    std::string answer;
    if (!board.exchange(bytes, 600000, &answer))
        throw std::runtime_error("no answer: " + board.fault());
}

// Reset to the first prompt: about a million delay-loop iterations.
void BM_BootToPrompt(benchmark::State& state)
{
    for (auto _ : state) {
        Board board;
        boot(board);
    }
}
BENCHMARK(BM_BootToPrompt)->Unit(benchmark::kMillisecond);

void BM_QuietAllTests(benchmark::State& state)
{
    Board board;
    boot(board);
    for (auto _ : state)
        command(board, "123");
}
BENCHMARK(BM_QuietAllTests)->Unit(benchmark::kMillisecond);

// 358 line ends, each followed by 200000 passes of a counter in memory.
void BM_VerbosePacedSdramTest(benchmark::State& state)
{
    Board board;
    boot(board);
    command(board, "vs");
    for (auto _ : state)
        command(board, "1");
    state.counters["passes_per_s"] =
        benchmark::Counter(358.0 * 200000 * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_VerbosePacedSdramTest)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// Where one fault's run of the coverage spends its time, in the way the
// coverage runs it (a board of its own, the line sending at once): making
// the engine and mapping the board, the boot (its code translated on the
// way), the test, the same test again on the same board (its code
// translated already: the difference is the translation), and tearing down.
void BM_OneFaultsRunSplit(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    double made = 0, booted = 0, tested = 0, again = 0, gone = 0;
    const auto ms = [](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double, std::milli>(b - a).count();
    };
    for (auto _ : state) {
        korvasim::BoardConfig config;
        config.timed_line = false;
        const auto t0 = Clock::now();
        auto board = std::make_unique<Board>(config);
        const auto t1 = Clock::now();
        boot(*board);
        const auto t2 = Clock::now();
        command(*board, "3");
        const auto t3 = Clock::now();
        command(*board, "3");
        const auto t4 = Clock::now();
        board.reset();
        const auto t5 = Clock::now();
        made += ms(t0, t1);
        booted += ms(t1, t2);
        tested += ms(t2, t3);
        again += ms(t3, t4);
        gone += ms(t4, t5);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["engine_ms"] = made / n;
    state.counters["boot_ms"] = booted / n;
    state.counters["sram_test_ms"] = tested / n;
    state.counters["sram_test_again_ms"] = again / n;
    state.counters["teardown_ms"] = gone / n;
}
BENCHMARK(BM_OneFaultsRunSplit)->Unit(benchmark::kMillisecond)->Iterations(200);

// The same run as the coverage makes it now: the board booted once and
// paused where it first waits for input, its state saved; each run puts the
// state back, sets the fault's devices and runs the test on the same engine.
void BM_OneFaultsRunFromSavedState(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    korvasim::BoardConfig config;
    config.timed_line = false;
    config.pause_when_waiting = true;
    Board board(config);
    boot(board);
    const auto saved = board.save_state();
    korvasim::FaultSet faults;
    if (!korvasim::add_fault("sram.d3=0", faults))
        throw std::logic_error("bad fault");
    double restored = 0, tested = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (!board.restore_state(*saved))
            throw std::runtime_error("the saved state was refused");
        board.set_faults(faults);
        const auto t1 = Clock::now();
        command(board, "3");
        const auto t2 = Clock::now();
        restored += std::chrono::duration<double, std::milli>(t1 - t0).count();
        tested += std::chrono::duration<double, std::milli>(t2 - t1).count();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["restore_ms"] = restored / n;
    state.counters["sram_test_ms"] = tested / n;
}
BENCHMARK(BM_OneFaultsRunFromSavedState)->Unit(benchmark::kMillisecond)->Iterations(2000);

// Seconds of report_coverage (korvasim --coverage, or --coverage=all) with
// its output thrown away.
double coverage_seconds(bool all, korvasim::BoardStart start)
{
    fflush(stdout);
    const int kept = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    const auto t0 = std::chrono::steady_clock::now();
    const int status =
        korvasim::report_coverage(std::vector<uint8_t>(boot_image, boot_image + BOOT_IMAGE_SIZE), "json", all, start);
    fflush(stdout);
    const auto t1 = std::chrono::steady_clock::now();
    dup2(kept, STDOUT_FILENO);
    close(null);
    close(kept);
    if (status != 0)
        throw std::runtime_error("the coverage report failed");
    return std::chrono::duration<double>(t1 - t0).count();
}

// The coverage reports as korvasim makes them (each run from a booted
// board's saved state) beside the same reports with a board booted afresh
// for every run, in one run: the times and their ratio.
void BM_CoverageFromSavedStatesAgainstFreshBoots(benchmark::State& state)
{
    const bool all = state.range(0) != 0;
    double saved = 0, fresh = 0;
    for (auto _ : state) {
        saved += coverage_seconds(all, korvasim::BoardStart::SAVED_STATE);
        fresh += coverage_seconds(all, korvasim::BoardStart::FRESH_BOOT);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["saved_state_s"] = saved / n;
    state.counters["fresh_boots_s"] = fresh / n;
    state.counters["times_faster"] = fresh / saved;
}
BENCHMARK(BM_CoverageFromSavedStatesAgainstFreshBoots)
    ->ArgName("all")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

// The process's resident size in kB.
long resident_kb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Boards powered up, booted and powered off one after another, each with an
// engine of its own: the resident size after the first 1 000 and at the end.
void BM_PowerUps(benchmark::State& state)
{
    long after_first = 0;
    int powered = 0;
    for (auto _ : state) {
        {
            Board board;
            boot(board);
        }
        if (++powered == 1000)
            after_first = resident_kb();
    }
    state.counters["rss_kB_after_1000"] = static_cast<double>(after_first);
    state.counters["rss_kB_at_end"] = static_cast<double>(resident_kb());
}
BENCHMARK(BM_PowerUps)->Unit(benchmark::kMillisecond)->Iterations(10000);

} // namespace

BENCHMARK_MAIN();

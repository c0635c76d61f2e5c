// A shift of a station that serves its fixtures, compressed: 8 fixtures and
// 2 000 boards whose faults come and go, each board two seconds of a
// scripted dudedoved (a real quiet run's time, without the power cycle and
// the operator's hands), scanned in over the operator's page as soon as its fixture is
// free. Measured: every attempt in the database once, the station's memory
// and open files after the first hundred boards and at the end, its CPU
// share, and the time from a scan to the fixture's "testing" on the page.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "link/board_protocol.h"

namespace {

const int FIXTURES = 8;
// SHIFT_BOARDS makes the shift shorter for a quick look.
const int BOARDS = getenv("SHIFT_BOARDS") ? atoi(getenv("SHIFT_BOARDS")) : 2000;

// A board's two seconds: its faults come and go with the shell's random numbers
// (one in ten fails a test, one in a hundred hangs in FLASH).
std::string scripted_tool()
{
    return std::string("#!/bin/bash\necho '") + WAKE_UP_MESSAGE + "'\nsleep 0.4\necho 'Downloading... done'\n"
           "r=$((RANDOM % 100))\n"
           "for t in SDRAM FLASH SRAM; do\n"
           "  sleep 0.5\n"
           "  if [ $t = FLASH ] && [ $r = 0 ]; then printf 'Testing FLASH... '; exec sleep 600; fi\n"
           "  if [ $t = SRAM ] && [ $r -lt 10 ]; then echo 'Testing SRAM... failed'; exit 1; fi\n"
           "  echo \"Testing $t... passed\"\n"
           "done\n";
}

long status_field_kb(pid_t pid, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(strlen(field)));
    return -1;
}

long open_files(pid_t pid)
{
    long count = 0;
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(d))
            ++count;
        closedir(d);
    }
    return count - 2;
}

double cpu_seconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i)
        fields >> skip;
    long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long count_rows(const std::string& db, const char* query)
{
    sqlite3* handle = nullptr;
    long n = -1;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(handle, query, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
            n = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
    }
    sqlite3_close(handle);
    return n;
}

struct Shift {
    std::string dir;
    pid_t station = -1;
    std::unique_ptr<httplib::Client> page;
};

bool start(Shift& shift, benchmark::State& state)
{
    char dir[] = "/tmp/korva-shift-XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("no temporary folder");
        return false;
    }
    shift.dir = dir;
    std::ofstream(shift.dir + "/dudedoved") << scripted_tool();
    chmod((shift.dir + "/dudedoved").c_str(), 0755);
    std::ofstream config(shift.dir + "/station.toml");
    config << "station = \"shift\"\ndatabase = \"" << shift.dir << "/results.db\"\nrecords = \"" << shift.dir
           << "/records\"\nhttp = \"127.0.0.1:0\"\ndudedoved = \"" << shift.dir << "/dudedoved\"\nsilence_timeout = 2\n";
    for (int f = 0; f < FIXTURES; ++f)
        config << "[[fixture]]\nname = \"F" << f << "\"\nport = \"/dev/fixture" << f << "\"\n";
    config.close();
    int err[2];
    if (pipe(err) != 0)
        return false;
    shift.station = fork();
    if (shift.station == 0) {
        dup2(err[1], STDERR_FILENO);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        execl(KORVASTATION_PATH, KORVASTATION_PATH, "serve", "--config", (shift.dir + "/station.toml").c_str(), nullptr);
        _exit(127);
    }
    close(err[1]);
    std::string said;
    char buffer[512];
    ssize_t got;
    while (said.find("page at ") == std::string::npos || said.find('\n', said.find("page at ")) == std::string::npos) {
        if ((got = read(err[0], buffer, sizeof buffer)) <= 0) {
            state.SkipWithError(("the station did not start: " + said).c_str());
            return false;
        }
        said.append(buffer, static_cast<size_t>(got));
    }
    const size_t at = said.find("page at http://") + 15;
    const std::string host_port = said.substr(at, said.find('/', at) - at);
    shift.page = std::make_unique<httplib::Client>("127.0.0.1", std::stoi(host_port.substr(host_port.find(':') + 1)));
    return true;
}

// What the shift measured while its boards were scanned in.
struct ShiftMeasures {
    double slowest_scan_s = 0, cpu_at_100 = 0;
    long rss_at_100 = 0, files_at_100 = 0;
    std::chrono::steady_clock::time_point at_100;
};

// Scans BOARDS boards into whichever fixtures are free, as an operator
// would, and confirms a fixture that asks to be checked.
void scan_the_shift(Shift& shift, benchmark::State& state, ShiftMeasures* m)
{
    const httplib::Headers action = {{"X-Korva-Action", "1"}};
    int scanned = 0;
    while (scanned < BOARDS) {
        const auto r = shift.page->Get("/state");
        if (!r) {
            state.SkipWithError("the page did not answer");
            return;
        }
        const nlohmann::json s = nlohmann::json::parse(r->body);
        bool any = false;
        for (const auto& panel : s["fixtures"]) {
            const std::string fixture = panel["name"];
            if (panel["state"] == "check the fixture")
                shift.page->Post("/action/confirm-fixture", action, httplib::Params{{"fixture", fixture}});
            if (panel["state"] == "testing" || scanned >= BOARDS)
                continue;
            const auto sent = std::chrono::steady_clock::now();
            shift.page->Post("/action/scan", action,
                             httplib::Params{{"text", "KV" + std::to_string(100000 + scanned)}, {"fixture", fixture}});
            const auto after = shift.page->Get("/state");
            const nlohmann::json now = nlohmann::json::parse(after->body);
            for (const auto& p : now["fixtures"])
                if (p["name"] == fixture && p["state"] != "testing")
                    state.SkipWithError(("a scan did not start fixture " + fixture).c_str());
            m->slowest_scan_s =
                std::max(m->slowest_scan_s, std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count());
            any = true;
            if (++scanned == 100) {
                m->at_100 = std::chrono::steady_clock::now();
                m->rss_at_100 = status_field_kb(shift.station, "VmRSS:");
                m->files_at_100 = open_files(shift.station);
                m->cpu_at_100 = cpu_seconds(shift.station);
            }
        }
        if (!any)
            usleep(50 * 1000);
    }
}

void BM_ShiftOfEightFixtures(benchmark::State& state)
{
    Shift shift;
    if (!start(shift, state))
        return;
    ShiftMeasures m;
    for (auto _ : state)
        scan_the_shift(shift, state, &m);
    // The last boards end, and the station stops.
    usleep(5 * 1000 * 1000);
    const double cpu_share = (cpu_seconds(shift.station) - m.cpu_at_100) /
                             std::chrono::duration<double>(std::chrono::steady_clock::now() - m.at_100).count();
    const long rss_end = status_field_kb(shift.station, "VmRSS:"), files_end = open_files(shift.station);
    const double cpu_seconds_total = cpu_seconds(shift.station);
    kill(shift.station, SIGTERM);
    int status = 0;
    waitpid(shift.station, &status, 0);
    const std::string db = shift.dir + "/results.db";
    const long attempts = count_rows(db, "SELECT count(*) FROM attempts");
    const long distinct = count_rows(db, "SELECT count(DISTINCT attempt_key) FROM attempts");
    const long boards = count_rows(db, "SELECT count(DISTINCT label) FROM attempts");
    if (attempts != distinct || boards != BOARDS)
        state.SkipWithError(("the database holds " + std::to_string(attempts) + " attempts, " + std::to_string(distinct) +
                             " distinct, of " + std::to_string(boards) + " boards")
                                .c_str());
    state.counters["boards"] = static_cast<double>(boards);
    state.counters["slowest_scan_to_testing_s"] = m.slowest_scan_s;
    state.counters["rss_kB_at_100"] = static_cast<double>(m.rss_at_100);
    state.counters["rss_kB_at_end"] = static_cast<double>(rss_end);
    state.counters["open_files_at_100"] = static_cast<double>(m.files_at_100);
    state.counters["open_files_at_end"] = static_cast<double>(files_end);
    state.counters["cpu_share_of_a_core"] = cpu_share;
    state.counters["cpu_ms_per_board"] = 1000 * cpu_seconds_total / BOARDS;
    state.counters["exit_status"] = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (system(("rm -rf " + shift.dir).c_str()) != 0)
        state.SkipWithError("the temporary folder stayed");
}
BENCHMARK(BM_ShiftOfEightFixtures)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

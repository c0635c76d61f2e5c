// korvastation: several Korva boards tested at once on a production line,
// each by its own dudedoved, with time-outs, burn-in, records and the
// diagnosis of a failed board.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "station/board_run.h"
#include "firmware/boot_image.h"
#include "sim/analysis/diagnosis.h"
#include "station/image_digest.h"
#include "sim/support/read_limited.h"
#include "station/display.h"
#include "station/records.h"
#include "station/result_store.h"
#include "station/dashboard.h"
#include "station/dashboard_state.h"
#include "station/yield_report.h"
#include "station/station_options.h"

namespace {

using namespace korvastation;
using Clock = std::chrono::steady_clock;

std::atomic<int> interrupts{0};
std::atomic<bool> resized{false};

void on_signal(int)
{
    ++interrupts;
}

void on_resize(int)
{
    resized = true;
}

size_t terminal_width()
{
    winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return 80;
    return size.ws_col;
}

const int EXIT_FAILED = 1;
const int EXIT_UNTESTED = 2;
const int TABLE_REFRESH_MS = 500;
const int BATCH_MS = 20;
const size_t MAX_REPORT_LINES = 200;
const auto LINE_REFRESH = std::chrono::seconds(10);

int fail(const std::string& message)
{
    fprintf(stderr, "korvastation: %s\n", message.c_str());
    return EXIT_UNTESTED;
}

bool make_dirs(const std::string& path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string default_log_dir()
{
    const time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    char name[64];
    strftime(name, sizeof name, "station-%Y%m%d-%H%M%S", &local);
    return name;
}

// The dudedoved of the same installation: next to this program, else on
// PATH. A failure names every place looked at.
korvasim::Result find_dudedoved(std::string* found)
{
    std::vector<std::string> places;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        const std::string path(self, static_cast<size_t>(n));
        places.push_back(path.substr(0, path.rfind('/') + 1) + "dudedoved");
    }
    const char* search = getenv("PATH");
    const std::string path_list = search ? search : "";
    for (size_t start = 0; start <= path_list.size();) {
        const size_t colon = std::min(path_list.find(':', start), path_list.size());
        const std::string dir = path_list.substr(start, colon - start);
        places.push_back((dir.empty() ? "." : dir) + "/dudedoved");
        start = colon + 1;
    }
    for (const std::string& place : places)
        if (access(place.c_str(), X_OK) == 0) {
            *found = place;
            return korvasim::Result::ok();
        }
    std::string looked;
    for (const std::string& place : places)
        looked += (looked.empty() ? "" : ", ") + place;
    return korvasim::Result::failure("cannot find dudedoved (looked at " + looked +
                                     "); name it with --dudedoved PATH");
}

// A failed test's report for the records, cut where a record would grow
// with it: a report of a board with a dead bus has a mismatch on every line.
std::string report_text(const std::vector<std::string>& lines)
{
    const size_t shown = std::min(lines.size(), MAX_REPORT_LINES);
    std::string text;
    for (size_t i = 0; i < shown; ++i)
        text += lines[i] + "\n";
    if (shown < lines.size())
        text += "(" + std::to_string(lines.size() - shown) + " more lines in the log)\n";
    return text;
}

// Boards that failed alike (a burn-in's retests, a batch with one defect)
// leave the same log text: each text is diagnosed once.
using DiagnosisCache = std::map<std::string, korvasim::Diagnosis>;

void diagnose_failed(BoardRecord* r, DiagnosisCache* cache)
{
    const std::string& log_path = r->verbose_log.empty() ? r->log : r->verbose_log;
    std::string text;
    if (const korvasim::Result read = korvasim::read_limited("log", log_path, korvasim::LOG_LIMIT, &text); !read) {
        r->diagnosis_note = "no diagnosis: " + read.why();
        return;
    }
    std::vector<korvasim::LoggedTest> tests;
    if (const korvasim::Result parsed = korvasim::parse_verbose_log(text, &tests); !parsed) {
        r->diagnosis_note = "no diagnosis: " + log_path + ": " + parsed.why();
        return;
    }
    for (const korvasim::LoggedTest& t : tests)
        if (!t.passed)
            r->failure_report[t.test] = report_text(t.lines);
    auto known = cache->find(text);
    if (known == cache->end()) {
        const std::vector<uint8_t> image(boot_image, boot_image + BOOT_IMAGE_SIZE);
        const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
        known = cache->emplace(text, korvasim::diagnose(image, tests, threads)).first;
    }
    const korvasim::Diagnosis& d = known->second;
    r->diagnosis = d.matches;
    if (d.matches.empty())
        r->diagnosis_note = "no single fault explains the log" +
                            (d.closest.empty() ? std::string() : "; closest: " + d.closest);
}

// An attempt as the database keeps it.
StoredAttempt stored(const BoardRecord& r, const std::string& station, const std::string& run)
{
    StoredAttempt a;
    a.station = station;
    a.run = run;
    a.label = r.board.label;
    a.port = r.board.port;
    a.retest = r.retest;
    a.final_attempt = r.final_attempt;
    a.intermittent = r.intermittent;
    a.start = iso_time(r.start);
    a.end = iso_time(r.end);
    a.verdict = verdict_name(r.verdict);
    a.problem = r.problem.empty() ? r.power_problem : r.problem;
    a.passes = r.passes;
    if (r.verdict == Verdict::HUNG)
        a.hung_in = r.hung_in;
    std::copy(&r.counts[0][0], &r.counts[0][0] + 2 * BOARD_TEST_COUNT, &a.counts[0][0]);
    for (const auto& f : r.diagnosis)
        a.diagnosis.push_back(f.name);
    return a;
}

std::string host_name()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "station";
    return name;
}

// Every attempt into the database, each in its own transaction. A failure
// is told once, with how many attempts are missing there.
int record_in_database(ResultStore* store, const std::vector<BoardRecord>& all, const std::string& station,
                       const std::string& run, const std::string& other_records)
{
    size_t missing = 0;
    std::string first_failure;
    for (const BoardRecord& r : all) {
        if (const korvasim::Result added = store->add(stored(r, station, run)); !added) {
            ++missing;
            if (first_failure.empty())
                first_failure = added.why();
        }
    }
    if (missing == 0)
        return 0;
    fail(first_failure + ": " + std::to_string(missing) + " of " + std::to_string(all.size()) +
         " attempts are not in the database" +
         (other_records.empty() ? " and are in no other record"
                                : " (" + other_records +
                                      (other_records.find(" and ") != std::string::npos ? " have" : " has") +
                                      " them all)"));
    return EXIT_UNTESTED;
}

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

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "report")
        return run_report(argc - 1, argv + 1);
    StationOptions options;
    if (const korvasim::Result parsed = parse_station_options(argc, argv, &options); !parsed)
        return fail(parsed.why());
    if (options.help) {
        fputs(STATION_USAGE, stdout);
        return 0;
    }
    if (options.dudedoved.empty()) {
        if (const korvasim::Result found = find_dudedoved(&options.dudedoved); !found)
            return fail(found.why());
    } else if (access(options.dudedoved.c_str(), X_OK) != 0) {
        return fail("cannot run --dudedoved " + options.dudedoved + ": " + strerror(errno));
    }
    const std::string log_dir = options.log_dir.empty() ? default_log_dir() : options.log_dir;
    if (!make_dirs(log_dir))
        return fail("cannot make the log folder " + log_dir + ": " + strerror(errno));
    RecordFile json, junit;
    if (!options.json_path.empty())
        if (const korvasim::Result opened = json.open(options.json_path, options.append); !opened)
            return fail(opened.why());
    if (!options.junit_path.empty())
        if (const korvasim::Result opened = junit.open(options.junit_path, false); !opened)
            return fail(opened.why());

    // A file that cannot take records is refused before any board is
    // touched, as a record file is. A server out of reach costs the testing
    // nothing while the files keep every record; the exit status tells.
    std::unique_ptr<ResultStore> store;
    bool database_failed = false;
    const bool other_records = !options.json_path.empty() || !options.junit_path.empty();
    if (!options.db.empty())
        if (const korvasim::Result opened = open_result_store(options.db, &store); !opened) {
            if (!is_server_uri(options.db) || !other_records)
                return fail(opened.why());
            fail(opened.why() + "; the records go to the files only");
            database_failed = true;
        }
    const std::string station_name = options.station_name.empty() ? host_name() : options.station_name;
    const std::string run_id = station_name + "/" + iso_time(std::chrono::system_clock::now()) + "/" +
                               std::to_string(getpid());
    Dashboard dashboard;
    LineToday today;
    auto read_line_today = [&] {
        today.day = iso_time(std::chrono::system_clock::now()).substr(0, 10);
        std::vector<StoredAttempt> stored_today;
        if (!store || !store->load({today.day, today.day, "", ""}, &stored_today))
            return;
        today.stations.clear();
        for (const YieldRow& row : build_yield_report(stored_today, false).by_station)
            today.stations.push_back({row.key, row.boards, row.first_pass, row.final_pass});
    };
    if (!options.http.empty()) {
        std::string url;
        std::string reachable;
        if (const korvasim::Result started = dashboard.start(options.http, &url, &reachable); !started)
            return fail(started.why());
        fprintf(stderr, "korvastation: dashboard at %s\n", url.c_str());
        if (!reachable.empty())
            fprintf(stderr, "korvastation: the dashboard can be reached from other machines (%s)\n",
                    reachable.c_str());
        read_line_today();
    }

    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // The station's terminal closed: stop as asked to, and keep the records.
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction resize = {};
    resize.sa_handler = on_resize;
    sigaction(SIGWINCH, &resize, nullptr);

    std::vector<std::unique_ptr<BoardRun>> runs;
    for (const BoardSpec& board : options.boards)
        runs.push_back(std::make_unique<BoardRun>(board, options, log_dir));
    for (auto& run : runs)
        run->start();

    Display display(stdout, isatty(STDOUT_FILENO), terminal_width);
    std::vector<const BoardRecord*> table;
    std::vector<const BoardRun*> tiles;
    for (const auto& run : runs) {
        table.push_back(&run->record());
        tiles.push_back(run.get());
    }
    auto publish = [&] {
        if (!options.http.empty())
            dashboard.publish(dashboard_state(station_name, tiles, options, today));
    };
    publish();
    int stops_sent = 0;
    auto line_read = Clock::now();
    auto last_drawn = Clock::now() - std::chrono::hours(1);
    for (;;) {
        // Only the boards with something to read are read: dudedoved writes
        // its console a byte at a time.
        std::vector<pollfd> fds;
        std::vector<size_t> owner;
        for (size_t i = 0; i < runs.size(); ++i)
            for (int fd : runs[i]->fds()) {
                fds.push_back({fd, POLLIN, 0});
                owner.push_back(i);
            }
        poll(fds.data(), fds.size(), 100);
        std::vector<bool> readable(runs.size(), false);
        for (size_t k = 0; k < fds.size(); ++k)
            if (fds[k].revents)
                readable[owner[k]] = true;
        const auto now = Clock::now();
        // CTRL-C: every board stops; a second one does not wait for them.
        if (interrupts > stops_sent) {
            stops_sent = interrupts;
            for (auto& run : runs)
                run->stop();
        }
        bool changed = false;
        std::vector<std::string> events;
        for (size_t i = 0; i < runs.size(); ++i) {
            changed = runs[i]->pump(now, readable[i]) || changed;
            for (std::string& e : runs[i]->take_events())
                events.push_back(std::move(e));
        }
        const bool all_done = std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r->done(); });
        // The other stations of the line write to the database meanwhile.
        if (!options.http.empty() && store && now - line_read > LINE_REFRESH) {
            read_line_today();
            line_read = now;
            changed = true;
        }
        if (changed || !events.empty())
            publish();
        if (!display.terminal()) {
            if (!events.empty())
                display.events(events);
        } else if (((changed || !events.empty()) &&
                     now - last_drawn > std::chrono::milliseconds(TABLE_REFRESH_MS)) ||
                   all_done || resized.exchange(false)) {
            display.table(table);
            last_drawn = now;
        }
        if (all_done)
            break;
        // Let the bytes gather: the station reads in bursts, not per byte.
        if (std::find(readable.begin(), readable.end(), true) != readable.end())
            std::this_thread::sleep_for(std::chrono::milliseconds(BATCH_MS));
    }

    std::vector<BoardRecord> all;
    DiagnosisCache diagnoses;
    for (const auto& run : runs) {
        run->for_each_attempt([&diagnoses](BoardRecord& attempt) {
            if (attempt.verdict == Verdict::FAILED)
                diagnose_failed(&attempt, &diagnoses);
        });
        for (BoardRecord& attempt : run->attempts())
            all.push_back(std::move(attempt));
    }
    publish();
    const int status = exit_status(all);
    const RecordContext context{KORVA_VERSION, BOOT_IMAGE_SHA256};
    int written = status;
    if (json.is_open())
        if (const korvasim::Result r = json.write(json_records(all, context)); !r)
            written = fail(r.why());
    if (junit.is_open())
        if (const korvasim::Result r = junit.write(junit_report(all)); !r)
            written = fail(r.why());
    std::string record_files;
    for (const std::string& path : {options.json_path, options.junit_path})
        if (!path.empty())
            record_files += (record_files.empty() ? "" : " and ") + path;
    if (store && record_in_database(store.get(), all, station_name, run_id, record_files) != 0)
        written = EXIT_UNTESTED;
    if (database_failed)
        written = EXIT_UNTESTED;
    display.summary(all, written);
    return written;
}

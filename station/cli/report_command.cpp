#include "station/cli/report_command.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "station/cli/station_options.h"
#include "station/report/repair_report.h"
#include "station/report/yield_report.h"
#include "station/store/database_name.h"

namespace korvastation {

using korvasim::Result;

namespace {

const char REPORT_USAGE[] =
    "Usage: korvastation report --db FILE|URI [--since DATE] [--until DATE]\n"
    "                           [--station NAME] [--board LABEL] [--by GROUPS]\n"
    "                           [--retested] [--repairs]\n"
    "                           [--format table|csv|json|html]\n"
    "\n"
    "First-pass and final yield in all, by group and by test, retested,\n"
    "intermittent and hung boards, and the diagnosed faults ranked by the\n"
    "boards they failed, from the records korvastation wrote. A board is a\n"
    "serial number of a day: its first attempt that day is its first pass.\n"
    "DATE is YYYY-MM-DD, the stations' local day (both ends included); a\n"
    "report of one day also lists what happened at the stations.\n"
    "  --by GROUPS   day, station, fixture, operator, comma-separated\n"
    "                (default: day,station).\n"
    "  --retested    Each retested board with its attempts' verdicts and\n"
    "                diagnoses, fixture and operator.\n"
    "  --board LABEL The history of the board with that label, with its repairs.\n"
    "  --repairs     Instead: per diagnosis, the boards failed, repaired,\n"
    "                passed after repair, scrapped and found without fault;\n"
    "                the actions and components that fixed it (the last\n"
    "                repair before a pass); the repair yield and the mean\n"
    "                time from the failure to a pass.\n"
    "The html form is one page with its charts inside, for a browser or a mail.\n";

struct ReportRequest {
    std::string db;
    StoreFilter filter;
    std::vector<BoardGroup> groups = {BoardGroup::DAY, BoardGroup::STATION};
    bool retested = false;
    bool repairs = false;
    ReportFormat format = ReportFormat::TABLE;
    bool help = false;
};

// A day of the calendar: 2026-02-30 is none.
bool valid_date(const std::string& d)
{
    int y, m, day;
    char extra;
    if (d.size() != 10 || d[4] != '-' || d[7] != '-' ||
        sscanf(d.c_str(), "%4d-%2d-%2d%c", &y, &m, &day, &extra) != 3 || m < 1 || m > 12 || day < 1)
        return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return day <= days[m - 1];
}

Result parse_format(const std::string& value, ReportFormat* format)
{
    const std::pair<const char*, ReportFormat> formats[] = {
        {"table", ReportFormat::TABLE}, {"csv", ReportFormat::CSV}, {"json", ReportFormat::JSON},
        {"html", ReportFormat::HTML}};
    for (const auto& [name, which] : formats)
        if (value == name) {
            *format = which;
            return Result::ok();
        }
    return Result::failure("bad --format '" + value + "': expected table, csv, json or html");
}

Result parse_groups(const std::string& value, std::vector<BoardGroup>* groups)
{
    const std::pair<const char*, BoardGroup> names[] = {{"day", BoardGroup::DAY},
                                                        {"station", BoardGroup::STATION},
                                                        {"fixture", BoardGroup::FIXTURE},
                                                        {"operator", BoardGroup::OPERATOR}};
    groups->clear();
    for (size_t start = 0; start <= value.size();) {
        const size_t end = std::min(value.find(',', start), value.size());
        const std::string name = value.substr(start, end - start);
        bool known = false;
        for (const auto& [word, group] : names)
            if (name == word) {
                known = true;
                if (std::find(groups->begin(), groups->end(), group) == groups->end())
                    groups->push_back(group);
            }
        if (!known)
            return Result::failure("bad --by '" + value + "': expected day, station, fixture or operator, comma-separated");
        start = end + 1;
    }
    return Result::ok();
}

Result parse_report_options(int argc, char** argv, ReportRequest* request)
{
    static const option options[] = {
        {"db", required_argument, nullptr, 'b'},      {"since", required_argument, nullptr, 's'},
        {"until", required_argument, nullptr, 'u'},   {"station", required_argument, nullptr, 'n'},
        {"board", required_argument, nullptr, 'l'},   {"format", required_argument, nullptr, 'f'},
        {"by", required_argument, nullptr, 'g'},      {"retested", no_argument, nullptr, 'r'},
        {"repairs", no_argument, nullptr, 'R'},       {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    StoreFilter& filter = request->filter;
    opterr = 0;
    optind = 1;
    for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        const std::string value = optarg ? optarg : "";
        switch (c) {
        case 'b': request->db = value; break;
        case 's': filter.since = value; break;
        case 'u': filter.until = value; break;
        case 'n': filter.station = value; break;
        case 'l': filter.label = value; break;
        case 'f':
            if (const Result known = parse_format(value, &request->format); !known)
                return known;
            break;
        case 'g':
            if (const Result known = parse_groups(value, &request->groups); !known)
                return known;
            break;
        case 'r': request->retested = true; break;
        case 'R': request->repairs = true; break;
        case 'h': request->help = true; return Result::ok();
        default:
            return Result::failure(option_problem(argv[optind - 1], options) +
                                   " (korvastation report --help lists them)");
        }
    }
    if (optind < argc)
        return Result::failure(std::string("unexpected '") + argv[optind] + "'");
    return Result::ok();
}

Result check_report_request(const ReportRequest& request)
{
    const StoreFilter& filter = request.filter;
    if (request.db.empty())
        return Result::failure("--db names the records to read");
    for (const std::string* d : {&filter.since, &filter.until})
        if (!d->empty() && !valid_date(*d))
            return Result::failure("bad date '" + *d + "': expected a day of the calendar as YYYY-MM-DD");
    if (request.repairs && request.retested)
        return Result::failure("--repairs is a report of its own: not with --retested");
    if (!filter.since.empty() && !filter.until.empty() && filter.since > filter.until)
        return Result::failure("--since " + filter.since + " comes after --until " + filter.until);
    if (const Result named = check_database_name(request.db); !named)
        return named;
    if (!is_server_uri(request.db) && access(request.db.c_str(), R_OK) != 0)
        return Result::failure("cannot read the records in " + request.db + ": " + strerror(errno));
    return Result::ok();
}

// The counting is the database's: the report's memory does not grow with it.
Result read_report(const ReportRequest& request, YieldReport* report)
{
    std::unique_ptr<ResultStore> store;
    if (const Result opened = open_result_store(request.db, &store); !opened)
        return opened;
    report->board = request.filter.label;
    report->groups = request.groups;
    report->retested_asked = request.retested;
    Result read = count_all(*store, request.filter, &report->yield);
    if (read && !request.filter.label.empty())
        read = store->load(request.filter, &report->history);
    if (read && !request.filter.label.empty()) {
        StoreFilter board;
        board.label = request.filter.label;
        read = store->load_repairs(board, &report->repairs);
    }
    if (read && request.retested) {
        StoreFilter retested = request.filter;
        retested.retested_only = true;
        std::vector<StoredAttempt> attempts;
        read = store->load(retested, &attempts);
        report->retested = retested_boards(attempts);
    }
    // A day's report says what happened at the stations that day.
    if (read && !request.filter.since.empty() && request.filter.since == request.filter.until)
        read = store->load_events(request.filter, &report->events);
    return read;
}

} // namespace

int run_report(int argc, char** argv)
{
    ReportRequest request;
    Result done = parse_report_options(argc, argv, &request);
    if (done && request.help) {
        fputs(REPORT_USAGE, stdout);
        return 0;
    }
    if (done)
        done = check_report_request(request);
    YieldReport report;
    RepairReport repairs;
    std::unique_ptr<ResultStore> store;
    if (done && request.repairs)
        done = open_result_store(request.db, &store);
    if (done)
        done = request.repairs ? make_repair_report(*store, request.filter, &repairs) : read_report(request, &report);
    if (!done) {
        fprintf(stderr, "korvastation report: %s\n", done.why().c_str());
        return 2;
    }
    const std::string text =
        request.repairs ? format_repair_report(repairs, request.format) : format_yield_report(report, request.format);
    fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

} // namespace korvastation

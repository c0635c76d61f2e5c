#include "station/outputs/line_metrics.h"

#include <cstdio>
#include <sstream>

namespace korvastation {

const std::vector<double> LineMetrics::DURATION_BOUNDS = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600, 1800, 3600, 14400, 28800};

std::string metric_label_value(const std::string& value)
{
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        if (c == '\n') {
            quoted += "\\n";
            continue;
        }
        quoted += c;
    }
    return quoted + "\"";
}

LineMetrics::LineMetrics(std::string station, std::string version, std::string image_sha256,
                         std::vector<std::string> states)
    : station_(std::move(station)), version_(std::move(version)), image_sha256_(std::move(image_sha256)),
      states_(std::move(states)), duration_buckets_(DURATION_BOUNDS.size(), 0)
{
    // Every series is there from the start at 0: Prometheus's increase()
    // cannot see a counter's first step when its series begins at 1.
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        for (const char* result : {"passed", "failed", "hung"})
            tests_[{TEST_NAMES[t], result}] = 0;
}

namespace {

std::string verdict_label(Verdict v)
{
    std::string verdict = verdict_name(v);
    for (char& c : verdict)
        if (c == ' ')
            c = '_';
    return verdict;
}

const Verdict FINAL_VERDICTS[] = {Verdict::PASSED, Verdict::FAILED,     Verdict::HUNG,
                                  Verdict::LOST,   Verdict::NOT_TESTED, Verdict::STOPPED};

} // namespace

void LineMetrics::take(const AttemptRecord& r)
{
    const std::string& fixture = r.board.fixture.empty() ? r.board.port : r.board.fixture;
    ++attempts_[{fixture, verdict_label(r.verdict)}];
    for (int t = 0; t < BOARD_TEST_COUNT; ++t) {
        tests_[{TEST_NAMES[t], "passed"}] += r.counts[t][0];
        tests_[{TEST_NAMES[t], "failed"}] += r.counts[t][1];
    }
    if (r.verdict == Verdict::HUNG && r.hung_test != NO_BOARD_TEST)
        ++tests_[{TEST_NAMES[r.hung_test], "hung"}];
    retests_ += r.retest > 0;
    intermittent_ += r.final_attempt && r.intermittent;
    const double seconds = std::chrono::duration<double>(r.end - r.start).count();
    for (size_t b = 0; b < DURATION_BOUNDS.size(); ++b)
        duration_buckets_[b] += seconds <= DURATION_BOUNDS[b];
    ++durations_;
    duration_sum_ += seconds;
}

namespace {

void help(std::ostringstream& out, const char* name, const char* type, const char* text)
{
    out << "# HELP " << name << " " << text << "\n# TYPE " << name << " " << type << "\n";
}

std::string number(double v)
{
    char text[32];
    snprintf(text, sizeof text, "%.17g", v);
    return text;
}

} // namespace

std::string LineMetrics::text(const std::vector<FixtureGauge>& fixtures) const
{
    std::ostringstream out;
    const std::string station = "station=" + metric_label_value(station_);
    help(out, "korva_attempts_total", "counter", "Attempts finished, by fixture and verdict.");
    std::map<std::pair<std::string, std::string>, long> attempts = attempts_;
    for (const FixtureGauge& f : fixtures)
        for (Verdict v : FINAL_VERDICTS)
            attempts.insert({{f.fixture, verdict_label(v)}, 0});
    for (const auto& [key, n] : attempts)
        out << "korva_attempts_total{" << station << ",fixture=" << metric_label_value(key.first)
            << ",verdict=" << metric_label_value(key.second) << "} " << n << "\n";
    help(out, "korva_tests_total", "counter", "Test verdicts of every pass, by test and result (hung: the test the board hung in).");
    for (const auto& [key, n] : tests_)
        out << "korva_tests_total{" << station << ",test=" << metric_label_value(key.first)
            << ",result=" << metric_label_value(key.second) << "} " << n << "\n";
    help(out, "korva_retests_total", "counter", "Attempts that were retests of a board.");
    out << "korva_retests_total{" << station << "} " << retests_ << "\n";
    help(out, "korva_intermittent_boards_total", "counter", "Boards whose attempts disagreed.");
    out << "korva_intermittent_boards_total{" << station << "} " << intermittent_ << "\n";
    help(out, "korva_attempt_duration_seconds", "histogram", "Duration of the finished attempts.");
    for (size_t b = 0; b < DURATION_BOUNDS.size(); ++b)
        out << "korva_attempt_duration_seconds_bucket{" << station << ",le=\"" << number(DURATION_BOUNDS[b]) << "\"} "
            << duration_buckets_[b] << "\n";
    out << "korva_attempt_duration_seconds_bucket{" << station << ",le=\"+Inf\"} " << durations_ << "\n";
    out << "korva_attempt_duration_seconds_sum{" << station << "} " << number(duration_sum_) << "\n";
    out << "korva_attempt_duration_seconds_count{" << station << "} " << durations_ << "\n";
    help(out, "korva_fixture_state", "gauge", "1 for the state each fixture is in now, 0 for the others.");
    for (const FixtureGauge& f : fixtures)
        for (const std::string& state : states_)
            out << "korva_fixture_state{" << station << ",fixture=" << metric_label_value(f.fixture)
                << ",state=" << metric_label_value(state) << "} " << (state == f.state ? 1 : 0) << "\n";
    help(out, "korva_fixture_cycles", "gauge", "Boards each fixture has taken since its last maintenance.");
    for (const FixtureGauge& f : fixtures)
        if (f.cycles >= 0)
            out << "korva_fixture_cycles{" << station << ",fixture=" << metric_label_value(f.fixture) << "} " << f.cycles
                << "\n";
    help(out, "korva_database_waiting_attempts", "gauge",
         "Finished attempts that wait for the database (it does not take records now).");
    out << "korva_database_waiting_attempts{" << station << "} " << database_waiting_ << "\n";
    help(out, "korva_hand_off_waiting_records", "gauge", "Records that wait for the line's own command to take them.");
    out << "korva_hand_off_waiting_records{" << station << "} " << hand_off_waiting_ << "\n";
    if (repairs_set_) {
        help(out, "korva_repairs_total", "counter", "Repairs recorded at this station's repair bench, by action.");
        for (const auto& [action, n] : repairs_)
            out << "korva_repairs_total{" << station << ",action=" << metric_label_value(action) << "} " << n << "\n";
        help(out, "korva_boards_waiting_for_repair", "gauge",
             "The line's boards whose last attempt failed, neither repaired nor scrapped since.");
        out << "korva_boards_waiting_for_repair{" << station << "} " << waiting_for_repair_ << "\n";
    }
    help(out, "korva_build_info", "gauge", "The station's version and the digest of the boot image it tests with.");
    out << "korva_build_info{" << station << ",version=" << metric_label_value(version_)
        << ",image_sha256=" << metric_label_value(image_sha256_) << "} 1\n";
    return out.str();
}

} // namespace korvastation

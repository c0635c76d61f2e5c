#include "station/run/attempt_record.h"

namespace korvastation {

const char* verdict_name(Verdict v)
{
    switch (v) {
    case Verdict::RUNNING: return "running";
    case Verdict::PASSED: return "passed";
    case Verdict::FAILED: return "failed";
    case Verdict::HUNG: return "hung";
    case Verdict::LOST: return "lost";
    case Verdict::NOT_TESTED: return "not tested";
    case Verdict::STOPPED: return "stopped";
    }
    return "?";
}

std::string phase_text(const AttemptRecord& r)
{
    switch (r.phase) {
    case Phase::STARTING: return "starting";
    case Phase::POWERING_OFF: return "powering off";
    case Phase::POWERED_OFF: return "powered off";
    case Phase::WAITING_TO_RETEST: return "waiting to retest";
    case Phase::WAITING_FOR_BOARD: return "waiting for the board";
    case Phase::DOWNLOADING: return "downloading";
    case Phase::TESTING: return r.running_test >= 0 ? TEST_NAMES[r.running_test] : "testing";
    case Phase::VERBOSE_PASS:
        return r.running_test >= 0 ? std::string("verbose ") + TEST_NAMES[r.running_test] : "verbose pass";
    case Phase::DONE: return "done";
    }
    return "?";
}

std::string hung_where(const AttemptRecord& r)
{
    return r.hung_test >= 0 ? " in " + r.hung_in : " at the " + r.hung_in;
}

std::string verdict_text(const AttemptRecord& r)
{
    if (r.verdict == Verdict::PASSED && r.retest > 0)
        return "passed on retest " + std::to_string(r.retest);
    return verdict_name(r.verdict);
}

bool untested(Verdict v)
{
    return v == Verdict::HUNG || v == Verdict::LOST || v == Verdict::NOT_TESTED || v == Verdict::STOPPED;
}

long AttemptRecord::failures() const
{
    long failed = 0;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        failed += counts[t][1];
    return failed;
}

// What an attempt came to: its verdict, and the tests it failed or hung in.
std::string outcome_of(const AttemptRecord& r)
{
    std::string outcome = verdict_name(r.verdict);
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        if (r.counts[t][1] > 0)
            outcome += std::string(" ") + TEST_NAMES[t];
    if (r.verdict == Verdict::HUNG)
        outcome += hung_where(r);
    return outcome;
}

std::string diagnosis_of(const AttemptRecord& r)
{
    std::string diagnosis;
    for (const auto& f : r.diagnosis)
        diagnosis += (diagnosis.empty() ? "" : " or ") + f.name;
    return diagnosis.empty() ? r.diagnosis_note : diagnosis;
}

std::string probe_text(const std::vector<std::string>& faults, const std::vector<std::string>& points)
{
    std::string text;
    for (size_t i = 0; i < faults.size() && i < points.size(); ++i)
        if (!points[i].empty())
            text += (text.empty() ? "" : "\n") + (faults.size() > 1 ? "if " + faults[i] + ": " : std::string()) +
                    "probe " + points[i];
    return text;
}

std::string probe_points_of(const AttemptRecord& r)
{
    std::vector<std::string> faults;
    for (const auto& f : r.diagnosis)
        faults.push_back(f.name);
    return probe_text(faults, r.probe_points);
}

} // namespace korvastation

#include "display.h"

#include "records.h"
#include "report_lines.h"

namespace {

std::string row(const std::string& label, const std::string& port, const std::string& phase,
                const std::string& passes, const std::string& failures, const std::string& last)
{
    char text[256];
    snprintf(text, sizeof text, "%-16.16s %-16.16s %-22.22s %7.7s %9.9s  %s", label.c_str(), port.c_str(),
             phase.c_str(), passes.c_str(), failures.c_str(), last.c_str());
    return text;
}

} // namespace

void Display::events(const std::vector<std::string>& events)
{
    const std::string now = iso_time(std::chrono::system_clock::now());
    for (const std::string& e : events)
        fprintf(out_, "%s %s\n", now.c_str(), e.c_str());
    fflush(out_);
}

void Display::table(const std::vector<const BoardRecord*>& records)
{
    // Back to the table's first line, then every line anew.
    if (drawn_ > 0)
        fprintf(out_, "\x1b[%zuA", drawn_);
    fprintf(out_, "\x1b[2K%s\n", row("BOARD", "PORT", "PHASE", "PASSES", "FAILURES", "LAST").c_str());
    for (const BoardRecord* r : records) {
        const std::string phase = r->verdict == Verdict::RUNNING ? r->phase : verdict_name(r->verdict);
        fprintf(out_, "\x1b[2K%s\n",
                row(r->board.label, r->board.port, phase, std::to_string(r->passes), std::to_string(r->failures()),
                    r->last_verdict).c_str());
    }
    drawn_ = records.size() + 1;
    fflush(out_);
}

std::string summary_line(const BoardRecord& r)
{
    std::string line = r.board.label + " (" + r.board.port + "): " + verdict_name(r.verdict);
    if (r.verdict == Verdict::HUNG)
        line += hung_where(r);
    line += ", " + std::to_string(r.passes) + (r.passes == 1 ? " pass" : " passes");
    for (int t = 0; t < 3; ++t)
        if (r.counts[t][1] > 0)
            line += std::string(", ") + TEST_NAMES[t] + " failed " + std::to_string(r.counts[t][1]) + "x";
    if (!r.problem.empty())
        line += "; " + r.problem;
    if (r.verdict == Verdict::FAILED) {
        if (!r.diagnosis.empty()) {
            line += "; diagnosis:";
            for (size_t i = 0; i < r.diagnosis.size(); ++i)
                line += (i ? ", " : " ") + r.diagnosis[i].name;
        } else if (!r.diagnosis_note.empty()) {
            line += "; " + r.diagnosis_note;
        }
    }
    return line;
}

void Display::summary(const std::vector<BoardRecord>& records, int status)
{
    size_t passed = 0, failed = 0, untested_boards = 0;
    for (const BoardRecord& r : records) {
        passed += r.verdict == Verdict::PASSED;
        failed += r.verdict == Verdict::FAILED;
        untested_boards += untested(r.verdict);
    }
    fprintf(out_, "Summary: %zu board%s, %zu passed, %zu failed, %zu not tested (exit status %d)\n",
            records.size(), records.size() == 1 ? "" : "s", passed, failed, untested_boards, status);
    for (const BoardRecord& r : records)
        fprintf(out_, "  %s\n", summary_line(r).c_str());
    fflush(out_);
}

#include "station/outputs/display.h"

#include <algorithm>

#include "station/outputs/records.h"
#include "host/report_lines.h"

namespace korvastation {

namespace {

const char ELLIPSIS[] = "\u2026";

// Text cut to width characters. Names keep their end, where the ones of a
// line differ (/dev/serial/by-id/usb-FTDI_..._A1B2C3-if00-port0); other
// text keeps its start. Counted in characters, not bytes.
std::string fit(const std::string& text, size_t width, bool keep_end)
{
    std::vector<std::string> chars;
    for (size_t i = 0; i < text.size();) {
        size_t n = 1;
        while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80)
            ++n;
        chars.push_back(text.substr(i, n));
        i += n;
    }
    std::string out;
    if (chars.size() <= width) {
        for (const std::string& c : chars)
            out += c;
        return out + std::string(width - chars.size(), ' ');
    }
    if (width == 0)
        return out;
    if (keep_end) {
        out = ELLIPSIS;
        for (size_t i = chars.size() - (width - 1); i < chars.size(); ++i)
            out += chars[i];
    } else {
        for (size_t i = 0; i + 1 < width; ++i)
            out += chars[i];
        out += ELLIPSIS;
    }
    return out;
}

// Two bytes of UTF-8 that encode a C1 control (U+0080 to U+009F).
bool c1_control_at(const std::string& text, size_t i)
{
    return static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size() &&
           static_cast<unsigned char>(text[i + 1]) >= 0x80 && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
}

size_t length_of(const std::string& text)
{
    size_t n = 0;
    for (char c : text)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

} // namespace

std::string terminal_text(const std::string& text)
{
    const std::string clean = valid_utf8(text);
    std::string out;
    for (size_t i = 0; i < clean.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(clean[i]);
        const bool c1 = c1_control_at(clean, i);
        if (c >= 0x20 && c != 0x7F && !c1) {
            out += clean[i];
            continue;
        }
        const unsigned code = c1 ? static_cast<unsigned char>(clean[++i]) : c;
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\x%02x", code);
        out += escaped;
    }
    return out;
}

TableRow row_of(const AttemptRecord& r)
{
    TableRow row{r.board.label, r.board.port, "", "", std::to_string(r.passes), ""};
    if (r.verdict != Verdict::RUNNING)
        row.state = verdict_text(r);
    else if (r.failures() > 0 && r.phase != Phase::VERBOSE_PASS)
        row.state = "failed, testing on";  // a burn-in goes on after its first failure
    else if (r.running_test >= 0)
        row.state = r.phase == Phase::VERBOSE_PASS ? "verbose pass" : "testing";
    else if (r.phase == Phase::WAITING_FOR_BOARD)
        row.state = "waiting";
    else
        row.state = phase_text(r);
    if (r.retest > 0 && r.verdict == Verdict::RUNNING)
        row.state = "retest " + std::to_string(r.retest) + ": " + row.state;
    if (r.running_test >= 0 && r.verdict == Verdict::RUNNING)
        row.test = TEST_NAMES[r.running_test];
    long first = 0;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        if (r.first_failure[t] && (first == 0 || r.first_failure[t] < r.first_failure[first - 1]))
            first = t + 1;
    if (first)
        row.failure = std::string(TEST_NAMES[first - 1]) + " failed in pass " + std::to_string(r.first_failure[first - 1]);
    else if (r.verdict == Verdict::HUNG)
        row.failure = "hung" + hung_where(r);
    else if (untested(r.verdict))
        row.failure = r.problem;
    return row;
}

void Display::events(const std::vector<BoardEvent>& events)
{
    for (const BoardEvent& e : events)
        fprintf(out_, "%s %s\n", iso_time(e.when).c_str(), terminal_text(e.board + ": " + e.what).c_str());
    fflush(out_);
}

void Display::table(const std::vector<const AttemptRecord*>& records)
{
    const size_t width = width_();
    // A resized terminal may have rewrapped what stands there: start anew below.
    if (width != drawn_width_)
        drawn_ = 0;
    std::vector<TableRow> rows = {{"BOARD", "PORT", "STATE", "TEST", "PASSES", "FIRST FAILURE"}};
    for (const AttemptRecord* r : records) {
        TableRow row = row_of(*r);
        for (std::string* cell : {&row.board, &row.port, &row.state, &row.failure})
            *cell = terminal_text(*cell);
        rows.push_back(row);
    }
    // Every column as wide as its widest cell, then the long ones cut until
    // a row fits the terminal: a wrapped row would break the redraw.
    enum { BOARD, PORT, STATE, TEST, PASSES, FAILURE, COLUMNS };
    const size_t floor[COLUMNS] = {8, 12, 12, 5, 6, 13};
    // The state's column keeps its width ("verbose pass"), so that the
    // others do not move as boards go through their states.
    size_t widths[COLUMNS] = {0, 0, 12, 0, 0, 0};
    for (const TableRow& row : rows) {
        const std::string* cells[COLUMNS] = {&row.board, &row.port, &row.state, &row.test, &row.passes, &row.failure};
        for (int c = 0; c < COLUMNS; ++c)
            widths[c] = std::max(widths[c], length_of(*cells[c]));
    }
    auto total = [&] {
        size_t sum = 2 * (COLUMNS - 1);
        for (size_t w : widths)
            sum += w;
        return sum;
    };
    for (int c : {PORT, FAILURE, BOARD, STATE})
        while (total() >= width && widths[c] > floor[c])
            --widths[c];
    if (drawn_ > 0)
        fprintf(out_, "\x1b[%zuA", drawn_);
    for (const TableRow& row : rows) {
        std::string line = fit(row.board, widths[BOARD], true) + "  " + fit(row.port, widths[PORT], true) + "  " +
                           fit(row.state, widths[STATE], false) + "  " + fit(row.test, widths[TEST], false) + "  " +
                           std::string(widths[PASSES] - std::min(widths[PASSES], length_of(row.passes)), ' ') +
                           row.passes + "  " + fit(row.failure, widths[FAILURE], false);
        line = fit(line, width - 1, false);
        line.erase(line.find_last_not_of(' ') + 1);
        fprintf(out_, "\x1b[2K%s\n", line.c_str());
    }
    drawn_ = rows.size();
    drawn_width_ = width;
    fflush(out_);
}

std::string summary_line(const AttemptRecord& r)
{
    std::string line = r.board.label + " (" + r.board.port + "): " + verdict_text(r);
    if (r.verdict == Verdict::HUNG)
        line += hung_where(r);
    line += ", " + std::to_string(r.passes) + (r.passes == 1 ? " pass" : " passes");
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        if (r.counts[t][1] > 0)
            line += std::string(", ") + TEST_NAMES[t] + " failed " + std::to_string(r.counts[t][1]) + "x";
    if (!r.problem.empty())
        line += "; " + r.problem;
    if (r.intermittent)
        line += "; intermittent: its attempts disagree";
    if (!r.power_problem.empty())
        line += "; " + r.power_problem;
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

void Display::summary(const std::vector<AttemptRecord>& records, int status)
{
    size_t boards = 0, passed = 0, on_retest = 0, failed = 0, hung = 0, untested_boards = 0;
    for (const AttemptRecord& r : records) {
        if (!r.final_attempt)
            continue;
        ++boards;
        passed += r.verdict == Verdict::PASSED;
        on_retest += r.verdict == Verdict::PASSED && r.retest > 0;
        failed += r.verdict == Verdict::FAILED;
        hung += r.verdict == Verdict::HUNG;
        untested_boards += untested(r.verdict) && r.verdict != Verdict::HUNG;
    }
    const std::string retested = on_retest ? " (" + std::to_string(on_retest) + " on retest)" : "";
    const std::string hung_boards = hung ? ", " + std::to_string(hung) + " hung" : "";
    fprintf(out_, "Summary: %zu board%s, %zu passed%s, %zu failed%s, %zu not tested (exit status %d)\n",
            boards, boards == 1 ? "" : "s", passed, retested.c_str(), failed, hung_boards.c_str(),
            untested_boards, status);
    for (const AttemptRecord& r : records)
        if (r.final_attempt)
            fprintf(out_, "  %s\n", terminal_text(summary_line(r)).c_str());
    fflush(out_);
}

} // namespace korvastation

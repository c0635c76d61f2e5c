// What the operator gives a served station: scans from the terminal and
// the page's actions, each checked before it changes anything.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "station/outputs/records.h"
#include "station/serve/serve_station.h"
#include "station/station.h"

namespace korvastation {

namespace {

// A scanner's line is short; a terminal that sends an endless one is not
// a scanner and is not held in memory.
const size_t LONGEST_SCAN_LINE = 4096;
const size_t LONGEST_OPERATOR_NAME = 60;

} // namespace

void ServeStation::read_scans()
{
    char buffer[1024];
    const ssize_t got = read(scans_fd_, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        // The terminal is gone (a service's is /dev/null): the page scans.
        scans_fd_ = -1;
        return;
    }
    if (got < 0)
        return;
    scans_partial_.append(buffer, static_cast<size_t>(got));
    size_t end;
    while ((end = scans_partial_.find('\n')) != std::string::npos) {
        const std::string line = scans_partial_.substr(0, end);
        scans_partial_.erase(0, end + 1);
        if (line.size() > LONGEST_SCAN_LINE)
            say("a scan of " + std::to_string(line.size()) + " characters refused: no serial number is that long", true);
        else
            scan(line, -1);
    }
    if (scans_partial_.size() > LONGEST_SCAN_LINE) {
        say("a scan of more than " + std::to_string(LONGEST_SCAN_LINE) + " characters refused: no serial number is that long",
            true);
        scans_partial_.clear();
    }
}

// The page shows what an action did by the time its answer arrives.
void ServeStation::answer_letters(Clock::time_point now)
{
    std::vector<ActionMailbox::Letter> letters = mailbox_->take();
    std::vector<ActionReply> replies;
    for (ActionMailbox::Letter& letter : letters)
        replies.push_back(act(letter.action));
    if (!letters.empty() && page_)
        page_->publish(page_state(now));
    for (size_t i = 0; i < letters.size(); ++i)
        letters[i].reply.set_value(replies[i]);
}

int ServeStation::fixture_named(const std::string& name) const
{
    for (size_t k = 0; k < fixtures_.size(); ++k)
        if (fixtures_[k]->spec().name == name)
            return static_cast<int>(k);
    return -1;
}

std::string ServeStation::busy(size_t fixture) const
{
    if (stopping_)
        return "the station is stopping";
    return fixtures_[fixture]->busy();
}

void ServeStation::say(const std::string& text, bool refused)
{
    message_ = {text, refused, message_.number + 1};
    fprintf(stdout, "%s %s\n", iso_time(std::chrono::system_clock::now()).c_str(), terminal_text(text).c_str());
    fflush(stdout);
}

ActionReply ServeStation::act(const PageAction& action)
{
    auto field = [&](const char* name) {
        const auto found = action.fields.find(name);
        return found == action.fields.end() ? std::string() : found->second;
    };
    const std::string fixture_name = field("fixture");
    const int fixture = fixture_named(fixture_name);
    auto refuse = [&](const std::string& why) {
        say(why, true);
        return ActionReply{400, why};
    };
    if (action.name == "scan") {
        if (!fixture_name.empty() && fixture < 0)
            return refuse("no fixture " + shown_scan(fixture_name) + " at this station");
        if (field("text").size() > LONGEST_SCAN_LINE)
            return refuse("a scan of " + std::to_string(field("text").size()) + " characters refused: no serial number is that long");
        return scan(field("text"), fixture);
    }
    if (action.name == "operator") {
        const std::string name = field("name");
        bool printable = !name.empty() && name.size() <= LONGEST_OPERATOR_NAME;
        for (unsigned char c : name)
            printable = printable && c >= 0x20 && c != 0x7f;
        if (!printable)
            return refuse("operator's name " + shown_scan(name) + " refused: 1 to " + std::to_string(LONGEST_OPERATOR_NAME) +
                          " characters, no control characters");
        operator_ = name;
        say("operator: " + name, false);
        return {200, "operator: " + name};
    }
    if (fixture < 0)
        return refuse("no fixture " + shown_scan(fixture_name) + " at this station");
    Fixture& f = *fixtures_[static_cast<size_t>(fixture)];
    if (action.name == "confirm-fixture") {
        if (f.state() != Fixture::State::CHECK)
            return refuse("fixture " + fixture_name + " is not waiting to be checked");
        f.confirm();
        say("fixture " + fixture_name + " checked: it takes boards again", false);
        return {200, "fixture " + fixture_name + " takes boards again"};
    }
    if (action.name == "retest") {
        if (f.state() != Fixture::State::VERDICT || !f.run())
            return refuse("fixture " + fixture_name + " has no verdict to retest");
        const std::string serial = f.run()->record().board.label;
        return answer({ScanAnswer::Kind::START, static_cast<size_t>(fixture), serial, serial + " again in fixture " + fixture_name});
    }
    if (action.name == "test-again")
        return answer(desk_->confirm(static_cast<size_t>(fixture), [this](size_t k) { return busy(k); }));
    return refuse("no action " + shown_scan(action.name) + " at this station");
}

ActionReply ServeStation::scan(const std::string& text, int chosen)
{
    return answer(desk_->scan(text, chosen, [this](size_t k) { return busy(k); }));
}

ActionReply ServeStation::answer(const ScanAnswer& scanned)
{
    switch (scanned.kind) {
    case ScanAnswer::Kind::IGNORED:
        return {200, ""};
    case ScanAnswer::Kind::REFUSED:
        say(scanned.message, true);
        return {400, scanned.message};
    case ScanAnswer::Kind::SELECTED:
    case ScanAnswer::Kind::CONFIRM:
        say(scanned.message, false);
        return {200, scanned.message};
    case ScanAnswer::Kind::START:
        break;
    }
    std::string folder;
    if (const korvasim::Result made = days_.today(&folder); !made) {
        say(scanned.serial + " not started: " + made.why(), true);
        return {500, made.why()};
    }
    const FixtureSpec& spec = fixtures_[scanned.fixture]->spec();
    const std::string started = iso_time(std::chrono::system_clock::now());
    // HHMMSS: a board tested twice a day keeps both logs.
    const std::string time_of_day = started.substr(11, 2) + started.substr(14, 2) + started.substr(17, 2);
    BoardSpec board{spec.port, scanned.serial, spec.power_switch, spec.name,
                    log_name_of(scanned.serial) + "-" + spec.name + "-" + time_of_day};
    board_runs_[scanned.fixture] = run_id_ + "/" + spec.name + "/" + std::to_string(++boards_started_);
    fixtures_[scanned.fixture]->start_board(board, operator_, folder, Clock::now());
    say(scanned.message, false);
    return {200, scanned.message};
}

} // namespace korvastation

#include "station/serve/scan_desk.h"

#include <cstdio>

#include "station/serve/serial_pattern.h"

namespace korvastation {

std::string shown_scan(const std::string& text)
{
    std::string shown;
    for (unsigned char c : text.substr(0, 60)) {
        if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            shown += hex;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return "'" + shown + (text.size() > 60 ? "...'" : "'");
}

ScanDesk::ScanDesk(const ServeConfig& config, std::function<bool(const std::string&)> passed_today)
    : config_(config), passed_today_(std::move(passed_today))
{
}

ScanAnswer ScanDesk::refuse(const std::string& why)
{
    ScanAnswer answer;
    answer.kind = ScanAnswer::Kind::REFUSED;
    answer.message = why;
    return answer;
}

ScanAnswer ScanDesk::scan(const std::string& typed, int chosen, const std::function<std::string(size_t)>& busy)
{
    // A scanner's Enter may come as CR LF; a person may add spaces.
    const size_t first = typed.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const std::string text = typed.substr(first, typed.find_last_not_of(" \t\r\n") - first + 1);
    for (size_t k = 0; k < config_.fixtures.size(); ++k)
        if (text == config_.fixtures[k].name) {
            selected_ = static_cast<int>(k);
            confirm_fixture_ = -1;
            ScanAnswer answer;
            answer.kind = ScanAnswer::Kind::SELECTED;
            answer.fixture = k;
            answer.message = "fixture " + text + " selected: scan its board";
            return answer;
        }
    int fixture = chosen >= 0 ? chosen : selected_;
    if (fixture < 0 && config_.fixtures.size() == 1)
        fixture = 0;
    if (fixture < 0 || static_cast<size_t>(fixture) >= config_.fixtures.size())
        return refuse("scan a fixture's label first, then its board: " + shown_scan(text) + " is no fixture's");
    return board(text, static_cast<size_t>(fixture), busy);
}

ScanAnswer ScanDesk::board(const std::string& serial, size_t fixture, const std::function<std::string(size_t)>& busy)
{
    const FixtureSpec& f = config_.fixtures[fixture];
    if (serial.size() > config_.serial_max_length)
        return refuse("serial number " + shown_scan(serial) + " refused: longer than " +
                      std::to_string(config_.serial_max_length) + " characters");
    for (unsigned char c : serial)
        if (c <= 0x20 || c >= 0x7f)
            return refuse("serial number " + shown_scan(serial) + " refused: only letters, digits and signs may stand in it");
    if (f.pattern && !f.pattern->matches(serial))
        return refuse("serial number " + shown_scan(serial) + " refused: fixture " + f.name + " takes serial numbers like " +
                      f.serial_pattern);
    if (const std::string why = busy(fixture); !why.empty())
        return refuse(serial + " not started: " + why);
    const bool confirmed = confirm_fixture_ == static_cast<int>(fixture) && confirm_serial_ == serial;
    confirm_fixture_ = -1;
    ScanAnswer answer;
    answer.fixture = fixture;
    answer.serial = serial;
    if (!confirmed && passed_today_(serial)) {
        confirm_fixture_ = static_cast<int>(fixture);
        confirm_serial_ = serial;
        answer.kind = ScanAnswer::Kind::CONFIRM;
        answer.message = serial + " passed today already: scan it again to test it again in fixture " + f.name;
        return answer;
    }
    selected_ = -1;
    answer.kind = ScanAnswer::Kind::START;
    answer.message = serial + " into fixture " + f.name;
    return answer;
}

ScanAnswer ScanDesk::confirm(size_t fixture, const std::function<std::string(size_t)>& busy)
{
    if (confirm_fixture_ != static_cast<int>(fixture))
        return refuse("no board waits for a confirmation in fixture " +
                      (fixture < config_.fixtures.size() ? config_.fixtures[fixture].name : std::to_string(fixture)));
    return board(confirm_serial_, fixture, busy);
}

} // namespace korvastation

#include "station/serve/scan_desk.h"

#include <algorithm>
#include <cstdio>

#include "station/serve/serial_pattern.h"

namespace korvastation {

const char ScanDesk::TERMINAL[] = "terminal";
const char ScanDesk::CHECKED_PREFIX[] = "CHECKED:";

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

bool ScanDesk::valid_point(const std::string& point)
{
    return !point.empty() && point.size() <= 40 &&
           std::all_of(point.begin(), point.end(), [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; });
}

ScanDesk::ScanDesk(const ServeConfig& config, std::function<bool(const std::string&)> passed_today)
    : config_(config), passed_today_(std::move(passed_today))
{
}

ScanPoint& ScanDesk::point_of(const std::string& name)
{
    if (points_.size() >= MOST_POINTS && !points_.count(name))
        points_.erase(std::min_element(points_.begin(), points_.end(),
                                       [](const auto& a, const auto& b) { return a.second.used < b.second.used; }));
    ScanPoint& point = points_[name];
    point.used = ++scans_;
    return point;
}

ScanAnswer ScanDesk::refuse(const std::string& why, const std::string& detail)
{
    ScanAnswer answer;
    answer.kind = ScanAnswer::Kind::REFUSED;
    answer.message = why;
    answer.detail = detail;
    return answer;
}

ScanAnswer ScanDesk::select(const std::string& name, int fixture)
{
    ScanPoint& point = point_of(name);
    point.selected = fixture;
    point.confirm_fixture = -1;
    ScanAnswer answer;
    if (fixture < 0) {
        answer.message = "no fixture selected: scan a fixture's label, then its board";
        return answer;
    }
    answer.kind = ScanAnswer::Kind::SELECTED;
    answer.fixture = static_cast<size_t>(fixture);
    answer.message = "fixture " + config_.fixtures[answer.fixture].name + " selected: scan its board";
    return answer;
}

ScanAnswer ScanDesk::scan(const std::string& name, const std::string& typed, int chosen, const Busy& busy)
{
    // A scanner's Enter may come as CR LF; a person may add spaces.
    const size_t first = typed.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const std::string text = typed.substr(first, typed.find_last_not_of(" \t\r\n") - first + 1);
    for (size_t k = 0; k < config_.fixtures.size(); ++k) {
        if (text == config_.fixtures[k].name)
            return select(name, static_cast<int>(k));
        if (text == CHECKED_PREFIX + config_.fixtures[k].name) {
            ScanAnswer answer;
            answer.kind = ScanAnswer::Kind::CHECKED;
            answer.fixture = k;
            return answer;
        }
    }
    ScanPoint& point = point_of(name);
    int fixture = chosen >= 0 ? chosen : point.selected;
    if (fixture < 0 && config_.fixtures.size() == 1)
        fixture = 0;
    if (fixture < 0 || static_cast<size_t>(fixture) >= config_.fixtures.size())
        return refuse("scan a fixture's label first, then its board: " + shown_scan(text) + " is no fixture's");
    return board(point, text, static_cast<size_t>(fixture), busy);
}

ScanAnswer ScanDesk::board(ScanPoint& point, const std::string& serial, size_t fixture, const Busy& busy)
{
    const FixtureSpec& f = config_.fixtures[fixture];
    if (serial.size() > config_.serial_max_length)
        return refuse("serial number " + shown_scan(serial) + " refused: longer than " +
                      std::to_string(config_.serial_max_length) + " characters");
    for (unsigned char c : serial)
        if (c <= 0x20 || c >= 0x7f)
            return refuse("serial number " + shown_scan(serial) + " refused: only letters, digits and signs may stand in it");
    // The golden board is known by its serial number, whatever the
    // pattern, and is tested whenever it is scanned.
    const bool golden = serial == f.golden;
    // An operator is shown an example, never the pattern itself.
    if (!golden && f.pattern && !f.pattern->matches(serial))
        return refuse("serial number " + shown_scan(serial) + " refused: fixture " + f.name +
                      " takes serial numbers like " + f.serial_example,
                      "its serial_pattern is " + f.serial_pattern);
    if (const std::string why = busy(fixture, serial); !why.empty())
        return refuse(serial + " not started: " + why);
    const bool confirmed = point.confirm_fixture == static_cast<int>(fixture) && point.confirm_serial == serial;
    point.confirm_fixture = -1;
    ScanAnswer answer;
    answer.fixture = fixture;
    answer.serial = serial;
    if (!golden && !confirmed && passed_today_(serial)) {
        point.confirm_fixture = static_cast<int>(fixture);
        point.confirm_serial = serial;
        answer.kind = ScanAnswer::Kind::CONFIRM;
        answer.message = serial + " passed today already: scan it again to test it again in fixture " + f.name;
        return answer;
    }
    point.selected = -1;
    answer.kind = ScanAnswer::Kind::START;
    answer.message = (golden ? "golden board " : "") + serial + " into fixture " + f.name;
    return answer;
}

ScanAnswer ScanDesk::confirm(const std::string& name, size_t fixture, const Busy& busy)
{
    ScanPoint& point = point_of(name);
    if (point.confirm_fixture != static_cast<int>(fixture))
        return refuse("no board waits for a confirmation in fixture " +
                      (fixture < config_.fixtures.size() ? config_.fixtures[fixture].name : std::to_string(fixture)));
    return board(point, point.confirm_serial, fixture, busy);
}

} // namespace korvastation

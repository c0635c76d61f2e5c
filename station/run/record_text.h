// Text as every record holds it, whatever bytes it was given.
#ifndef KORVASTATION_RECORD_TEXT_H
#define KORVASTATION_RECORD_TEXT_H

#include <chrono>
#include <string>

namespace korvastation {

// Valid UTF-8: each bad byte becomes U+FFFD.
std::string valid_utf8(const std::string& text);

// Valid UTF-8 and none of the control characters
// that XML forbids. Labels, ports and dudedoved's messages are whatever bytes
// they were given; a database server refuses anything but UTF-8.
std::string record_text(const std::string& text);

// A name or note a person gives (an operator, a technician, a repair's
// action): 1 to most characters, none of them a control character.
bool person_text(const std::string& text, size_t most);

// An instant as every record holds it, in the station's local time with
// its offset: "2026-12-09T02:02:03.456+01:00" ("...Z" where the zone is UTC).
std::string iso_time(std::chrono::system_clock::time_point t);

// The station's local day of an instant, YYYY-MM-DD: a record's day, its
// day folder, "today" on the pages.
std::string day_of(std::chrono::system_clock::time_point t);
// The instant an iso_time text names; false for any other text.
bool instant_of(const std::string& iso, std::chrono::system_clock::time_point* t);

} // namespace korvastation

#endif

#include "station/run/record_text.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>

namespace korvastation {

std::string valid_utf8(const std::string& text)
{
    // The JSON library's own replacement of bad UTF-8, read back as a string.
    const std::string quoted =
        nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return nlohmann::json::parse(quoted).get<std::string>();
}

std::string record_text(const std::string& text)
{
    std::string clean;
    for (char c : valid_utf8(text)) {
        const bool forbidden = static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r';
        clean += forbidden ? std::string("\xEF\xBF\xBD") : std::string(1, c);
    }
    return clean;
}

bool person_text(const std::string& text, size_t most)
{
    if (text.empty() || text.size() > most)
        return false;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

std::string iso_time(std::chrono::system_clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(ms / 1000 - (ms % 1000 < 0));
    tm local;
    localtime_r(&seconds, &local);
    char text[48];
    size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    n += static_cast<size_t>(snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>((ms % 1000 + 1000) % 1000)));
    // The station's offset from UTC, so that the instant is exact whatever
    // the zone; UTC itself is written Z.
    const long offset_min = local.tm_gmtoff / 60;
    if (offset_min == 0)
        snprintf(text + n, sizeof text - n, "Z");
    else
        snprintf(text + n, sizeof text - n, "%c%02ld:%02ld", offset_min < 0 ? '-' : '+', labs(offset_min) / 60,
                 labs(offset_min) % 60);
    return text;
}

std::string day_of(std::chrono::system_clock::time_point t)
{
    return iso_time(t).substr(0, 10);
}

bool instant_of(const std::string& iso, std::chrono::system_clock::time_point* t)
{
    int year, month, day, hour, minute, second, ms, used = 0;
    if (sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%n", &year, &month, &day, &hour, &minute, &second, &ms, &used) != 7 ||
        used != 23)
        return false;
    long offset_min = 0;
    const std::string zone = iso.substr(23);
    int oh, om, zone_used = 0;
    if (zone == "Z")
        offset_min = 0;
    else if ((zone[0] == '+' || zone[0] == '-') && sscanf(zone.c_str() + 1, "%2d:%2d%n", &oh, &om, &zone_used) == 2 &&
             zone_used == 5 && zone.size() == 6)
        offset_min = (zone[0] == '-' ? -1 : 1) * (oh * 60 + om);
    else
        return false;
    tm utc{};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    const time_t seconds = timegm(&utc) - offset_min * 60;
    *t = std::chrono::system_clock::time_point(std::chrono::seconds(seconds) + std::chrono::milliseconds(ms));
    return true;
}

} // namespace korvastation

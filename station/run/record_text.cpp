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

} // namespace korvastation

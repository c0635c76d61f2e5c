#include "station/run/record_text.h"

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

} // namespace korvastation

#include "station/run/station_settings.h"

#include <cctype>

namespace korvastation {

std::string log_name_of(const std::string& label)
{
    std::string name;
    for (char c : label)
        name += (isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') ? c : '_';
    return name;
}

} // namespace korvastation

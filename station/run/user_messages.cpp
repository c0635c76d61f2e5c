#include "station/run/user_messages.h"

#include <cstdio>

namespace korvastation {

void tell_user(const std::string& message)
{
    fprintf(stderr, "korvastation: %s\n", message.c_str());
}

} // namespace korvastation

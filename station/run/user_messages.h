// How the station speaks to the person who started it: its exit statuses
// and its one-line messages on standard error.
#ifndef KORVASTATION_USER_MESSAGES_H
#define KORVASTATION_USER_MESSAGES_H

#include <string>

namespace korvastation {

const int EXIT_FAILED = 1;    // a board failed a test
const int EXIT_UNTESTED = 2;  // a board could not be tested, a usage error, records lost

// "korvastation: MESSAGE" on standard error.
void tell_user(const std::string& message);

} // namespace korvastation

#endif

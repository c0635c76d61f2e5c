// The pages' files, built into the program from station/page/assets/: the
// HTML of each page and its script.
#ifndef KORVASTATION_PAGE_ASSETS_H
#define KORVASTATION_PAGE_ASSETS_H

namespace korvastation {

extern const char LIVE_PAGE_HTML[];
extern const char LIVE_PAGE_SCRIPT[];
extern const char OPERATOR_PAGE_HTML[];
extern const char OPERATOR_PAGE_SCRIPT[];

} // namespace korvastation

#endif

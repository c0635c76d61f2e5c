// How many boards each fixture has taken since its last maintenance, kept
// across restarts in one small file of the records folder: pogo pins and
// connectors wear with insertions, not with days.
#ifndef KORVASTATION_FIXTURE_CYCLES_H
#define KORVASTATION_FIXTURE_CYCLES_H

#include <map>
#include <string>

#include "sim/support/result.h"

namespace korvastation {

class FixtureCycles {
public:
    explicit FixtureCycles(std::string path) : path_(std::move(path)) {}

    // Reads the file; none yet is every fixture at 0. A file that is not
    // the station's own is refused, naming it: counting again from 0
    // would hide a fixture's wear.
    korvasim::Result load();
    long count(const std::string& fixture) const;
    // One more board in the fixture; its count now.
    long add(const std::string& fixture);
    // The fixture was serviced: its count starts again.
    void reset(const std::string& fixture);
    // Why the file could not be written last time; empty when it was.
    const std::string& trouble() const { return trouble_; }

private:
    void save();

    std::string path_;
    std::map<std::string, long> counts_;
    std::string trouble_;
};

} // namespace korvastation

#endif

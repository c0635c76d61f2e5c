// The locks that keep a second station off what one station holds: its
// configuration, its records folder, its fixtures' ports. Each is an flock
// on a file of its own, released with the process however it ends; one
// that another process holds is refused naming that process.
#ifndef KORVASTATION_INSTANCE_LOCK_H
#define KORVASTATION_INSTANCE_LOCK_H

#include <string>
#include <vector>

#include "sim/support/result.h"

namespace korvastation {

class InstanceLocks {
public:
    InstanceLocks() = default;
    ~InstanceLocks();
    InstanceLocks(const InstanceLocks&) = delete;
    InstanceLocks& operator=(const InstanceLocks&) = delete;

    // Locks path (made when missing) for as long as this object lives.
    // what: the thing it stands for, as a refusal names it ("the
    // configuration /etc/korva/station.toml").
    korvasim::Result take(const std::string& path, const std::string& what);

    // The lock file that stands for a thing of this machine (a port, a
    // configuration): one name for it however it is written.
    static std::string lock_path_of(const std::string& kind, const std::string& name);

private:
    std::vector<int> held_;
};

// A name as the machine knows it: a path's target with the links
// followed, anything else (a URL, a path that does not exist yet) as given.
std::string real_name_of(const std::string& name);

} // namespace korvastation

#endif

// The operator's actions by name, each with its handler: what the page
// posts (a scan, the operator's name, a retest, a fixture checked), and
// what the terminal's scans become.
#ifndef KORVASTATION_OPERATOR_ACTIONS_H
#define KORVASTATION_OPERATOR_ACTIONS_H

#include <functional>
#include <map>
#include <string>

#include "station/page/page_server.h"

namespace korvastation {

class OperatorActions {
public:
    using Handler = std::function<ActionReply(const PageAction&)>;

    void add(const std::string& name, Handler handler) { handlers_[name] = std::move(handler); }
    // The handler of action's name; null when there is none.
    const Handler* find(const std::string& name) const
    {
        const auto found = handlers_.find(name);
        return found == handlers_.end() ? nullptr : &found->second;
    }

private:
    std::map<std::string, Handler> handlers_;
};

// A field of an action, empty when it was not given.
inline std::string field_of(const PageAction& action, const std::string& name)
{
    const auto found = action.fields.find(name);
    return found == action.fields.end() ? std::string() : found->second;
}

} // namespace korvastation

#endif

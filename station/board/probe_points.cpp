#include "station/board/probe_points.h"

#include <cctype>

namespace korvastation {

using korvasim::Result;

const LineKind LINE_KINDS[4] = {
    {"sram_data", "SRAM", 'D', 0, 7},
    {"sram_address", "SRAM", 'A', 0, 17},
    {"sdram_data", "SDRAM", 'D', 0, 31},
    {"sdram_address", "SDRAM", 'A', 2, 25},
};

std::string net_name(const std::string& pattern, unsigned n)
{
    std::string name = pattern;
    const size_t at = name.find("{n}");
    if (at != std::string::npos)
        name.replace(at, 3, std::to_string(n));
    return name;
}

Result ProbePoints::make(std::shared_ptr<const KicadNetlist> netlist, const std::map<std::string, std::string>& names,
                         ProbePoints* out)
{
    for (const auto& [key, pattern] : names) {
        const LineKind* kind = nullptr;
        for (const LineKind& k : LINE_KINDS)
            if (key == k.key)
                kind = &k;
        if (!kind)
            return Result::failure("unknown kind of line '" + key +
                                   "': expected sram_data, sram_address, sdram_data or sdram_address");
        if (pattern.find("{n}") == std::string::npos)
            return Result::failure(key + " = \"" + pattern + "\" has no {n} for the line's number");
        for (unsigned n = kind->low; n <= kind->high; ++n)
            if (!netlist->net(net_name(pattern, n)))
                return Result::failure(key + ": the netlist has no net " + net_name(pattern, n) + " for " +
                                       kind->part + " " + kind->letter + std::to_string(n));
    }
    out->netlist_ = std::move(netlist);
    out->names_ = names;
    return Result::ok();
}

namespace {

// The lines a spec names: its part's key and the line numbers. "sram.d3=0"
// one, "sram.d3-d4" two, anything else none.
bool lines_of(const std::string& spec, const LineKind** kind, std::vector<unsigned>* lines)
{
    const size_t dot = spec.find('.');
    if (dot == std::string::npos || dot + 2 >= spec.size())
        return false;
    const std::string part = spec.substr(0, dot);
    const char letter = spec[dot + 1];
    for (const LineKind& k : LINE_KINDS) {
        std::string lower = k.part;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == part && std::tolower(static_cast<unsigned char>(k.letter)) == letter)
            *kind = &k;
    }
    if (!*kind)
        return false;
    size_t at = dot + 2;
    for (;;) {
        size_t end = at;
        while (end < spec.size() && std::isdigit(static_cast<unsigned char>(spec[end])))
            ++end;
        if (end == at || end - at > 2)
            return false;
        lines->push_back(static_cast<unsigned>(std::stoul(spec.substr(at, end - at))));
        if (end == spec.size() || spec[end] == '=')
            return true;
        if (spec[end] != '-' || end + 1 >= spec.size() || spec[end + 1] != letter)
            return false;
        at = end + 2;
    }
}

} // namespace

std::string ProbePoints::of(const std::string& spec) const
{
    const LineKind* kind = nullptr;
    std::vector<unsigned> lines;
    if (!netlist_ || !lines_of(spec, &kind, &lines))
        return "";
    const auto pattern = names_.find(kind->key);
    if (pattern == names_.end())
        return "";
    std::string text;
    for (unsigned n : lines) {
        const Net* net = netlist_->net(net_name(pattern->second, n));
        if (!net)
            continue;
        text += (text.empty() ? "" : "; ") + std::string(kind->part) + " " + kind->letter + std::to_string(n) + ":";
        for (size_t i = 0; i < net->nodes.size(); ++i) {
            const NetNode& node = net->nodes[i];
            text += (i ? ", " : " ") + node.ref + " pin " + node.pin;
            if (!node.function.empty())
                text += " (" + node.function + ")";
        }
    }
    return text;
}

} // namespace korvastation

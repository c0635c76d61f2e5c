// A board's netlist as KiCad's schematic editor (and `kicad-cli sch export
// netlist`) writes it: its components by reference, and its nets, each
// with the component pins on it. Quoted (KiCad 6 and later) and bare
// (KiCad 5) values are read alike.
#ifndef KORVASTATION_KICAD_NETLIST_H
#define KORVASTATION_KICAD_NETLIST_H

#include <map>
#include <string>
#include <vector>

#include "sim/support/result.h"

namespace korvastation {

struct NetNode {
    std::string ref;       // "U7"
    std::string pin;       // "12", "AB3"
    std::string function;  // "DQ3"; may be empty
};

struct Net {
    std::string name;  // as KiCad names it: "/SRAM_D3" for a local label of the root sheet
    std::vector<NetNode> nodes;
};

class KicadNetlist {
public:
    // Reads path whole (at most MAX_BYTES). Every mistake is one line
    // naming the file, the line and what was expected.
    static constexpr size_t MAX_BYTES = 64 << 20;
    static korvasim::Result read(const std::string& path, KicadNetlist* out);
    // The same from text, name naming it in messages.
    static korvasim::Result parse(const std::string& name, const std::string& text, KicadNetlist* out);

    // The net of that name: given whole, or as a label of the root sheet
    // ("SRAM_D3" finds "/SRAM_D3"); null when there is none.
    const Net* net(const std::string& name) const;
    bool has_component(const std::string& ref) const { return components_.count(ref) > 0; }
    // Component references and their values ("U7" -> "IS61WV2568").
    const std::map<std::string, std::string>& components() const { return components_; }
    size_t net_count() const { return nets_.size(); }

private:
    std::map<std::string, std::string> components_;
    std::map<std::string, Net> nets_;
};

} // namespace korvastation

#endif

// Where a repair technician probes for a diagnosed line fault: the nets of
// the lines it names, from the board's netlist, and the component pins on
// each ("SRAM D3: U7 pin 12 (DQ3), U1 pin AB3 (XD3), R45 pin 1").
#ifndef KORVASTATION_PROBE_POINTS_H
#define KORVASTATION_PROBE_POINTS_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/support/result.h"
#include "station/board/kicad_netlist.h"

namespace korvastation {

// A kind of line that a diagnosis names, the key that maps it to nets
// ([board.nets] sram_data = "SRAM_D{n}") and its lines.
struct LineKind {
    const char* key;     // "sram_data"
    const char* part;    // "SRAM"
    char letter;         // 'D' for data, 'A' for address
    unsigned low, high;  // its line numbers
};
extern const LineKind LINE_KINDS[4];

class ProbePoints {
public:
    // names: key -> net name with {n} for the line number. Every line of
    // every kind named must have its net in the netlist: the first that
    // does not is refused, by name. A kind not named has no probe points.
    static korvasim::Result make(std::shared_ptr<const KicadNetlist> netlist,
                                 const std::map<std::string, std::string>& names, ProbePoints* out);

    // The probe points of a diagnosed fault by its spec ("sram.d3=0",
    // "sdram.a4-a9"): one line per line it names, "; " between; empty when
    // it names no line, or a kind without nets.
    std::string of(const std::string& spec) const;
    // Whether ref is one of the board's components.
    bool has_component(const std::string& ref) const { return netlist_ && netlist_->has_component(ref); }
    bool empty() const { return !netlist_; }

private:
    std::shared_ptr<const KicadNetlist> netlist_;
    std::map<std::string, std::string> names_;
};

// The net name of line n under a name with {n}.
std::string net_name(const std::string& pattern, unsigned n);

} // namespace korvastation

#endif

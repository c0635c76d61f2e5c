// Stuck-at faults of every bit of every memory cell, decided exactly from
// one fault-free run instead of a run per fault: a cell bit stuck at V is
// seen by the test exactly when the test reads that cell at least once while
// the bit should be the other value, since every read is compared and the
// run is the fault-free one up to that read. Cells the test never reads are
// never seen.
#ifndef KORVASIM_CELL_COVERAGE_H
#define KORVASIM_CELL_COVERAGE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/board/faults.h"

namespace korvasim {

class CellCoverage {
public:
    // Runs the memory's own test once on a board without faults; throws
    // std::runtime_error when that test does not pass.
    CellCoverage(const std::vector<uint8_t>& image, bool sdram, int budget_ms);

    const char* part() const { return sdram_ ? "SDRAM" : "SRAM"; }
    bool sdram() const { return sdram_; }
    uint64_t faults() const;
    uint64_t caught() const;
    // Cells (bytes or words) that the test reads, of all in the chip.
    uint64_t cells_read() const { return reads_.size(); }
    // The byte offsets of the cells the test reads, in order.
    std::vector<uint32_t> offsets_read() const;
    uint64_t cells() const;
    bool catches(const CellFault& fault) const;
    // "sram.cell:0x10.3=1"
    std::string spec(const CellFault& fault) const;

    // Cells to check by simulation: bits of cells the test reads and of
    // cells it does not, about count in all, the same for the same seed.
    std::vector<CellFault> sample(size_t count, uint32_t seed) const;

private:
    bool sdram_;
    unsigned bits_;
    // Per cell read: OR and AND of the values the test read from it.
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> reads_;
};

} // namespace korvasim

#endif

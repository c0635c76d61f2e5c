#include "sim/analysis/cell_coverage.h"

#include <random>
#include <stdexcept>

#include "sim/board/board.h"
#include "sim/analysis/test_runner.h"

namespace korvasim {

CellCoverage::CellCoverage(const std::vector<uint8_t>& image, bool sdram, int budget_ms)
    : sdram_(sdram), bits_(sdram ? SDRAM_DATA_LINES : SRAM_DATA_LINES)
{
    BoardConfig config;
    config.timed_line = false;
    config.pause_when_waiting = true;
    Board board(config);
    (sdram ? board.sdram() : board.sram()).observe_reads([this](uint32_t offset, uint32_t value) {
        auto [it, first] = reads_.emplace(offset, std::make_pair(value, value));
        if (!first) {
            it->second.first |= value;
            it->second.second &= value;
        }
    });
    std::string answer;
    const std::string command(1, sdram ? COMMAND_SDRAM_TEST : COMMAND_SRAM_TEST);
    if (!board.boot(image, budget_ms) || !board.exchange(command, budget_ms, &answer) ||
        answer.find(std::string(1, BOARD_END_OF_TEXT) + "0") == std::string::npos)
        throw std::runtime_error(std::string("the ") + part() + " test does not pass on a board without faults");
    board.power_off();
}

uint64_t CellCoverage::cells() const
{
    return sdram_ ? SDRAM_SIZE / 4 : SRAM_SIZE;
}

std::vector<uint32_t> CellCoverage::offsets_read() const
{
    std::vector<uint32_t> offsets;
    for (const auto& entry : reads_)
        offsets.push_back(entry.first);
    return offsets;
}

uint64_t CellCoverage::faults() const
{
    return cells() * bits_ * 2;
}

uint64_t CellCoverage::caught() const
{
    const uint32_t mask = bits_ == 32 ? 0xFFFFFFFFu : (1u << bits_) - 1;
    uint64_t caught = 0;
    for (const auto& [offset, seen] : reads_)
        caught += __builtin_popcount(seen.first & mask) + __builtin_popcount(~seen.second & mask);
    return caught;
}

bool CellCoverage::catches(const CellFault& fault) const
{
    const auto it = reads_.find(fault.offset);
    if (it == reads_.end())
        return false;
    // Stuck at 0 shows where a 1 was read; stuck at 1 where a 0 was.
    return fault.value ? !((it->second.second >> fault.bit) & 1) : (it->second.first >> fault.bit) & 1;
}

std::string CellCoverage::spec(const CellFault& fault) const
{
    char text[64];
    snprintf(text, sizeof text, "%s.cell:0x%x.%u=%d", sdram_ ? "sdram" : "sram", fault.offset, fault.bit,
             fault.value ? 1 : 0);
    return text;
}

std::vector<CellFault> CellCoverage::sample(size_t count, uint32_t seed) const
{
    std::mt19937 random(seed);
    const std::vector<uint32_t> read = offsets_read();
    const uint32_t step = sdram_ ? 4 : 1;
    std::vector<CellFault> picked;
    for (size_t i = 0; i < count; ++i) {
        // Half from the cells the test reads, half from anywhere.
        const uint32_t offset = i % 2 == 0 && !read.empty()
                                    ? read[random() % read.size()]
                                    : static_cast<uint32_t>(random() % cells()) * step;
        picked.push_back({offset, static_cast<unsigned>(random() % bits_), (random() & 1) != 0});
    }
    return picked;
}

} // namespace korvasim

#include "sim/board/faults.h"

#include <stdexcept>

#include <cstdlib>
#include <cctype>

#include "firmware/board_map.h"

namespace korvasim {

namespace {

uint32_t wire_and(uint32_t value, const std::vector<std::pair<unsigned, unsigned>>& shorts)
{
    for (const auto& [a, b] : shorts) {
        const uint32_t both = (value >> a) & (value >> b) & 1;
        value = (value & ~(1u << a) & ~(1u << b)) | both << a | both << b;
    }
    return value;
}

bool parse_number(const std::string& text, unsigned long max, unsigned long* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    *value = strtoul(text.c_str(), &end, 0);
    return *end == '\0' && *value <= max;
}

// Reads a line name such as "d12" or "a3" from the front of text.
bool parse_line(const std::string& text, size_t* pos, char* kind, unsigned long* line)
{
    if (*pos >= text.size() || (text[*pos] != 'd' && text[*pos] != 'a'))
        return false;
    *kind = text[(*pos)++];
    size_t end = *pos;
    while (end < text.size() && isdigit(static_cast<unsigned char>(text[end])))
        ++end;
    if (end == *pos || end - *pos > 2)
        return false;
    *line = std::stoul(text.substr(*pos, end - *pos));
    *pos = end;
    return true;
}

enum class Parse { OK, MALFORMED, CONTRADICTS };

// "cell:OFFSET.BIT=V": OFFSET of a byte (SRAM) or a word (SDRAM).
Parse add_cell_fault(const std::string& what, MemoryFaults& memory, bool sdram)
{
    const size_t dot = what.find('.', 5);
    const size_t equals = what.find('=');
    unsigned long offset = 0, bit = 0, value = 0;
    if (dot == std::string::npos || equals == std::string::npos || equals < dot ||
        !parse_number(what.substr(5, dot - 5), (sdram ? SDRAM_SIZE : SRAM_SIZE) - 1, &offset) ||
        !parse_number(what.substr(dot + 1, equals - dot - 1), (sdram ? SDRAM_DATA_LINES : SRAM_DATA_LINES) - 1,
                      &bit) ||
        !parse_number(what.substr(equals + 1), 1, &value) || (sdram && offset % 4 != 0))
        return Parse::MALFORMED;
    for (const CellFault& c : memory.cells)
        if (c.offset == offset && c.bit == bit)
            return c.value == (value == 1) ? Parse::OK : Parse::CONTRADICTS;
    memory.cells.push_back({static_cast<uint32_t>(offset), static_cast<unsigned>(bit), value == 1});
    return Parse::OK;
}

// "couple:A.B=V>C.D=W": writing V to bit B of cell A forces bit D of cell C
// to W.
Parse add_coupling_fault(const std::string& what, MemoryFaults& memory, bool sdram)
{
    const size_t arrow = what.find('>');
    if (arrow == std::string::npos)
        return Parse::MALFORMED;
    MemoryFaults aggressor, victim;
    if (add_cell_fault("cell:" + what.substr(7, arrow - 7), aggressor, sdram) != Parse::OK ||
        add_cell_fault("cell:" + what.substr(arrow + 1), victim, sdram) != Parse::OK)
        return Parse::MALFORMED;
    const CellFault& a = aggressor.cells[0];
    const CellFault& v = victim.cells[0];
    if (a.offset == v.offset && a.bit == v.bit)
        return Parse::MALFORMED;  // a cell does not couple to itself
    memory.couplings.push_back({a.offset, a.bit, a.value, v.offset, v.bit, v.value});
    return Parse::OK;
}

// "absent", "dN=0|1", "dN-dM", "aN=0|1", "aN-aM", a cell or a coupling fault.
Parse add_memory_fault(const std::string& what, MemoryFaults& memory, bool sdram)
{
    if (what == "absent") {
        memory.absent = true;
        return Parse::OK;
    }
    if (what.compare(0, 5, "cell:") == 0)
        return add_cell_fault(what, memory, sdram);
    if (what.compare(0, 7, "couple:") == 0)
        return add_coupling_fault(what, memory, sdram);
    size_t pos = 0;
    char kind = 0, other_kind = 0;
    unsigned long line = 0, other = 0;
    if (!parse_line(what, &pos, &kind, &line) || pos >= what.size())
        return Parse::MALFORMED;
    const bool data = kind == 'd';
    const auto valid = [&](unsigned long n) {
        return data ? n < (sdram ? SDRAM_DATA_LINES : SRAM_DATA_LINES)
                    : n >= (sdram ? SDRAM_ADDRESS_LOW : SRAM_ADDRESS_LOW) &&
                          n <= (sdram ? SDRAM_ADDRESS_HIGH : SRAM_ADDRESS_HIGH);
    };
    if (!valid(line))
        return Parse::MALFORMED;
    const std::string rest = what.substr(pos);
    if (rest == "=0" || rest == "=1") {
        uint32_t& low = data ? memory.data_stuck_low : memory.address_stuck_low;
        uint32_t& high = data ? memory.data_stuck_high : memory.address_stuck_high;
        const uint32_t bit = 1u << line;
        if ((rest == "=0" ? high : low) & bit)
            return Parse::CONTRADICTS;  // a line stuck at 0 and at 1 at once
        (rest == "=0" ? low : high) |= bit;
        return Parse::OK;
    }
    ++pos;
    if (rest[0] != '-' || !parse_line(what, &pos, &other_kind, &other) || pos != what.size() ||
        other_kind != kind || !valid(other) || other == line)
        return Parse::MALFORMED;
    (data ? memory.data_shorts : memory.address_shorts)
        .emplace_back(static_cast<unsigned>(line), static_cast<unsigned>(other));
    return Parse::OK;
}

// "busy" or "qK.F=VALUE".
Parse add_flash_fault(const std::string& what, FlashFaults& flash)
{
    if (what == "busy") {
        flash.never_ready = true;
        return Parse::OK;
    }
    static const std::string fields = "VSB";
    unsigned long value = 0;
    if (what.size() < 6 || what[0] != 'q' || what[1] < '0' || what[1] > '3' || what[2] != '.' ||
        fields.find(what[3]) == std::string::npos || what[4] != '=' ||
        !parse_number(what.substr(5), 255, &value))
        return Parse::MALFORMED;
    int& field = flash.field[what[1] - '0'][fields.find(what[3])];
    if (field != FlashFaults::NO_OVERRIDE && field != static_cast<int>(value))
        return Parse::CONTRADICTS;  // one field cannot read two values
    field = static_cast<int>(value);
    return Parse::OK;
}

} // namespace

bool MemoryFaults::any() const
{
    return data_stuck_low || data_stuck_high || !data_shorts.empty() || address_stuck_low ||
           address_stuck_high || !address_shorts.empty() || absent || !cells.empty() || !couplings.empty();
}

bool FlashFaults::any() const
{
    for (const auto& query : field)
        for (int value : query)
            if (value != NO_OVERRIDE)
                return true;
    return never_ready;
}

uint32_t MemoryFaults::on_data(uint32_t value) const
{
    return wire_and((value & ~data_stuck_low) | data_stuck_high, data_shorts);
}

uint32_t MemoryFaults::on_cell(uint32_t offset, uint32_t value) const
{
    for (const CellFault& c : cells)
        if (c.offset == offset)
            value = c.value ? value | 1u << c.bit : value & ~(1u << c.bit);
    return value;
}

uint32_t MemoryFaults::on_address(uint32_t offset) const
{
    return wire_and((offset & ~address_stuck_low) | address_stuck_high, address_shorts);
}

const char* fault_forms()
{
    return "sram.dN=0|1, sram.dN-dM, sram.aN=0|1, sram.aN-aM, sram.absent (N 0-7 for data, "
           "0-17 for address), sram.cell:OFFSET.BIT=0|1 (a byte's bit), the same for sdram "
           "(data 0-31, address 2-25, cells are words at offsets divisible by 4), "
           "sram.couple:A.B=V>C.D=W (writing V to bit B of cell A forces bit D of cell C to W), "
           "flash.qK.F=VALUE (K 0-3, F V, S or B, VALUE 0-255) or flash.busy";
}

Result add_fault(const std::string& spec, FaultSet& faults)
{
    const size_t dot = spec.find('.');
    const std::string device = spec.substr(0, dot);
    const std::string what = dot == std::string::npos ? "" : spec.substr(dot + 1);
    Parse result = Parse::MALFORMED;
    if (device == "sram" || device == "sdram")
        result = add_memory_fault(what, device == "sram" ? faults.sram : faults.sdram,
                                  device == "sdram");
    else if (device == "flash")
        result = add_flash_fault(what, faults.flash);
    if (result == Parse::MALFORMED)
        return Result::failure("bad fault '" + spec + "': accepted forms are " + fault_forms());
    if (result == Parse::CONTRADICTS)
        return Result::failure("fault '" + spec +
                               "' contradicts an earlier --fault on the same line or field");
    return Result::ok();
}

FaultSet catalogue_faults(const std::string& spec)
{
    FaultSet faults;
    const Result added = add_fault(spec, faults);
    if (!added)
        throw std::logic_error("fault catalogue: " + added.why());
    return faults;
}

} // namespace korvasim

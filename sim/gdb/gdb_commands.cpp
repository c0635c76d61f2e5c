#include "sim/gdb/gdb_commands.h"

#include <algorithm>
#include <cstdio>

#include "sim/gdb/arm_target.h"
#include "sim/gdb/gdb_packets.h"

namespace korvasim::gdb {

const uint32_t MAX_MEMORY_READ = (PACKET_SIZE - 16) / 2;

namespace {

const char* const ERROR_REPLY = "E01";

GdbReply reply(const std::string& packet)
{
    return GdbReply{{packet}, GdbAction::NONE};
}

// Nothing now: the stop reply comes when the board stops.
GdbReply later()
{
    return GdbReply{};
}

std::string word_hex(uint32_t value)
{
    // Registers travel in the target's byte order: big-endian.
    const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return to_hex(bytes, 4);
}

bool parse_word(const std::string& hex, uint32_t* value)
{
    std::vector<uint8_t> bytes;
    if (!from_hex(hex, &bytes) || bytes.size() != 4)
        return false;
    *value = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    return true;
}

// "ADDR,LENGTH" as hex numbers.
bool parse_range(const std::string& text, uint32_t* address, uint32_t* length)
{
    const size_t comma = text.find(',');
    return comma != std::string::npos && parse_number(text.substr(0, comma), address) &&
           parse_number(text.substr(comma + 1), length);
}

// A point is set once however often gdb inserts it.
template <typename Point>
void insert_or_remove(std::vector<Point>* list, const Point& point, bool insert)
{
    const auto it = std::find(list->begin(), list->end(), point);
    if (insert && it == list->end())
        list->push_back(point);
    else if (!insert && it != list->end())
        list->erase(it);
}

// A register as the debugger reads it: a board that does not stand still
// reads as at reset.
uint32_t register_value(GdbSession& session, int n)
{
    uint32_t value = 0;
    if (!session.read_register(n, &value))
        value = n == DebugTarget::CPSR ? RESET_CPSR : 0;
    return value;
}

GdbReply stop_query(GdbSession& session, const std::string&)
{
    if (const std::optional<DebugStop> stop = session.standing())
        return reply(stop_reply(*stop));
    if (!session.powered())
        return reply("S05");  // off: as at reset
    session.interrupt();  // running: stopped for the debugger, told when it is
    return later();
}

GdbReply read_registers(GdbSession& session, const std::string&)
{
    std::string hex;
    for (int n = 0; n <= DebugTarget::CPSR; ++n)
        hex += word_hex(register_value(session, n));
    return reply(hex);
}

GdbReply write_registers(GdbSession& session, const std::string& arguments)
{
    if (arguments.size() != 17 * 8)
        return reply(ERROR_REPLY);
    uint32_t values[17];
    for (int n = 0; n < 17; ++n)
        if (!parse_word(arguments.substr(8 * n, 8), &values[n]))
            return reply(ERROR_REPLY);
    if (!session.standing())
        return reply(ERROR_REPLY);
    for (int n = 0; n < 17; ++n)
        session.write_register(n, values[n]);
    return reply("OK");
}

GdbReply read_register(GdbSession& session, const std::string& arguments)
{
    uint32_t number = 0;
    if (!parse_number(arguments, &number) || core_register(number) < 0)
        return reply(ERROR_REPLY);
    return reply(word_hex(register_value(session, core_register(number))));
}

GdbReply write_register(GdbSession& session, const std::string& arguments)
{
    const size_t equals = arguments.find('=');
    uint32_t number = 0, value = 0;
    if (equals == std::string::npos || !parse_number(arguments.substr(0, equals), &number) ||
        core_register(number) < 0)
        return reply(ERROR_REPLY);
    if (!parse_word(arguments.substr(equals + 1), &value) || !session.write_register(core_register(number), value))
        return reply(ERROR_REPLY);
    return reply("OK");
}

GdbReply read_memory(GdbSession& session, const std::string& arguments)
{
    uint32_t address = 0, length = 0;
    if (!parse_range(arguments, &address, &length))
        return reply(ERROR_REPLY);
    std::vector<uint8_t> bytes(std::min(length, MAX_MEMORY_READ));
    if (!session.read_memory(address, bytes.data(), bytes.size()))
        return reply(ERROR_REPLY);
    return reply(to_hex(bytes.data(), bytes.size()));
}

GdbReply write_memory(GdbSession& session, const std::string& arguments)
{
    const size_t colon = arguments.find(':');
    uint32_t address = 0, length = 0;
    std::vector<uint8_t> bytes;
    if (colon == std::string::npos || !parse_range(arguments.substr(0, colon), &address, &length) ||
        !from_hex(arguments.substr(colon + 1), &bytes) || bytes.size() != length ||
        !session.write_memory(address, bytes.data(), bytes.size()))
        return reply(ERROR_REPLY);
    return reply("OK");
}

GdbReply change_point(GdbSession& session, const std::string& arguments, bool insert)
{
    // "TYPE,ADDR,KIND": KIND is a breakpoint's size or a watchpoint's length.
    const size_t comma = arguments.find(',');
    uint32_t type = 0, address = 0, kind = 0;
    if (comma != 1 || !parse_number(arguments.substr(0, 1), &type))
        return reply(ERROR_REPLY);
    std::string range = arguments.substr(comma + 1);
    range = range.substr(0, range.find(';'));  // conditions are gdb's business
    if (type > 4)
        return reply("");
    if (!parse_range(range, &address, &kind) || kind == 0 || kind > 0x10000 ||
        uint64_t(address) + kind > 0x100000000ull)
        return reply(ERROR_REPLY);
    DebugPoints points = session.points();
    if (type <= 1)
        insert_or_remove(&points.breakpoints, address, insert);
    else
        insert_or_remove(&points.watchpoints,
                         Watchpoint{address, kind,
                                    type == 2 ? WatchKind::WRITE : type == 3 ? WatchKind::READ : WatchKind::ACCESS},
                         insert);
    session.set_points(points);
    return reply("OK");
}

GdbReply insert_point(GdbSession& session, const std::string& arguments)
{
    return change_point(session, arguments, true);
}

GdbReply remove_point(GdbSession& session, const std::string& arguments)
{
    return change_point(session, arguments, false);
}

GdbReply continue_board(GdbSession& session, const std::string&)
{
    session.resume(ResumeMode::CONTINUE);
    return later();
}

GdbReply step_board(GdbSession& session, const std::string&)
{
    session.resume(ResumeMode::STEP);
    return later();
}

GdbReply detach(GdbSession&, const std::string&)
{
    return GdbReply{{"OK"}, GdbAction::DETACH};
}

GdbReply kill(GdbSession& session, const std::string&)
{
    session.resume(ResumeMode::KILL);
    return GdbReply{{}, GdbAction::KILL};
}

GdbReply kill_with_reply(GdbSession& session, const std::string&)
{
    session.resume(ResumeMode::KILL);
    return GdbReply{{"OK"}, GdbAction::KILL};
}

GdbReply resume_actions(GdbSession& session, const std::string& actions)
{
    // One thread: the first action is the one.
    const char action = actions.empty() ? '\0' : actions[0];
    if (action == 'c' || action == 'C')
        session.resume(ResumeMode::CONTINUE);
    else if (action == 's' || action == 'S')
        session.resume(ResumeMode::STEP);
    else if (action == 't')
        session.interrupt();
    else
        return reply(ERROR_REPLY);
    return later();
}

GdbReply supported(GdbSession&, const std::string&)
{
    char size[16];
    snprintf(size, sizeof size, "%zx", PACKET_SIZE);
    return reply(std::string("PacketSize=") + size + ";qXfer:features:read+;QStartNoAckMode+;vContSupported+");
}

GdbReply stop_acks(GdbSession&, const std::string&)
{
    return GdbReply{{"OK"}, GdbAction::STOP_ACKS};
}

GdbReply target_description(GdbSession&, const std::string& arguments)
{
    // "target.xml:OFFSET,LENGTH"
    const std::string annex = "target.xml:";
    uint32_t offset = 0, length = 0;
    if (arguments.compare(0, annex.size(), annex) != 0)
        return reply("E00");
    if (!parse_range(arguments.substr(annex.size()), &offset, &length))
        return reply(ERROR_REPLY);
    const std::string xml = TARGET_XML;
    if (offset >= xml.size())
        return reply("l");
    const std::string part = xml.substr(offset, std::min<size_t>(length, MAX_MEMORY_READ));
    return reply((offset + part.size() >= xml.size() ? "l" : "m") + part);
}

GdbReply monitor(GdbSession& session, const std::string& arguments)
{
    // gdb's "monitor" command: "status" tells whether a board is powered
    // and why it stands, which the registers alone do not.
    std::vector<uint8_t> bytes;
    if (!from_hex(arguments, &bytes))
        return reply(ERROR_REPLY);
    const std::string command(bytes.begin(), bytes.end());
    const std::string text = command == "status" || command.empty()
                                 ? session.status()
                                 : "unknown monitor command '" + command + "'; 'monitor status' tells the board's state";
    return GdbReply{{"O" + to_hex(text + "\n"), "OK"}, GdbAction::NONE};
}

template <const char* Answer>
GdbReply fixed(GdbSession&, const std::string&)
{
    return reply(Answer);
}

const char OK[] = "OK";
const char ATTACHED[] = "1";
const char THREAD[] = "QC1";
const char FIRST_THREADS[] = "m1";
const char LAST_THREADS[] = "l";
const char RESUME_ACTIONS[] = "vCont;c;C;s;S;t";

struct Command {
    const char* name;
    bool whole;  // the packet is the name; else the name starts it, arguments follow
    GdbReply (*run)(GdbSession& session, const std::string& arguments);
};

// First match wins: longer names before the names they start with.
const Command COMMANDS[] = {
    {"?", false, stop_query},
    {"g", false, read_registers},
    {"G", false, write_registers},
    {"p", false, read_register},
    {"P", false, write_register},
    {"m", false, read_memory},
    {"M", false, write_memory},
    {"Z", false, insert_point},
    {"z", false, remove_point},
    {"c", false, continue_board},
    {"C", false, continue_board},
    {"s", false, step_board},
    {"S", false, step_board},
    {"D", false, detach},
    {"k", false, kill},
    {"H", false, fixed<OK>},
    {"T", false, fixed<OK>},
    {"vCont?", false, fixed<RESUME_ACTIONS>},
    {"vCont;", false, resume_actions},
    {"vKill", false, kill_with_reply},
    {"qSupported", false, supported},
    {"QStartNoAckMode", true, stop_acks},
    {"qXfer:features:read:", false, target_description},
    {"qAttached", true, fixed<ATTACHED>},
    {"qC", true, fixed<THREAD>},
    {"qfThreadInfo", true, fixed<FIRST_THREADS>},
    {"qsThreadInfo", true, fixed<LAST_THREADS>},
    {"qSymbol", false, fixed<OK>},
    {"qRcmd,", false, monitor},
};

} // namespace

std::string stop_reply(const DebugStop& stop)
{
    switch (stop.cause) {
    case StopCause::INTERRUPT:
        return "S02";
    case StopCause::BAD_INSTRUCTION:
        return "S04";
    case StopCause::BAD_ACCESS:
        return "S0b";
    case StopCause::WATCHPOINT: {
        const char* kind = stop.watch == WatchKind::WRITE  ? "watch"
                           : stop.watch == WatchKind::READ ? "rwatch"
                                                           : "awatch";
        char text[40];
        snprintf(text, sizeof text, "T05%s:%08x;", kind, stop.data_address);
        return text;
    }
    default:
        return "S05";
    }
}

GdbReply run_command(GdbSession& session, const std::string& packet)
{
    for (const Command& c : COMMANDS) {
        const std::string name = c.name;
        if (c.whole ? packet == name : packet.compare(0, name.size(), name) == 0)
            return c.run(session, packet.substr(name.size()));
    }
    return reply("");  // not supported
}

} // namespace korvasim::gdb

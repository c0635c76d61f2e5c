// The debugger's commands: each packet gdb sends, answered from a session
// with the board. A table of commands, free of sockets and threads, so
// that every command can be tried on a session of a test's own.
#ifndef KORVASIM_GDB_COMMANDS_H
#define KORVASIM_GDB_COMMANDS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/core/debug.h"

namespace korvasim::gdb {

// The board as the commands see it. Registers and memory are those of a
// board that stands still; the calls say false when none does.
class GdbSession {
public:
    virtual ~GdbSession() = default;
    // Why the board stands, or nullopt when it runs or no board is powered.
    virtual std::optional<DebugStop> standing() = 0;
    virtual bool powered() = 0;
    virtual bool read_register(int n, uint32_t* value) = 0;  // r0..r15, DebugTarget::CPSR
    virtual bool write_register(int n, uint32_t value) = 0;
    virtual bool read_memory(uint32_t address, uint8_t* out, size_t length) = 0;
    virtual bool write_memory(uint32_t address, const uint8_t* data, size_t length) = 0;
    virtual DebugPoints points() = 0;
    virtual void set_points(const DebugPoints& points) = 0;
    // The board goes on as mode says; a stop reply follows when it stops.
    virtual void resume(ResumeMode mode) = 0;
    // The board is to stop; a stop reply follows when it has.
    virtual void interrupt() = 0;
    // Whether a board is powered and, if it stands, why: for a person.
    virtual std::string status() = 0;
};

// What the transport does once the reply is sent.
enum class GdbAction {
    NONE,
    STOP_ACKS,  // QStartNoAckMode: no '+' from now on
    DETACH,     // the debugger goes; the board runs on without it
    KILL,       // the debugger goes; the board is off
};

struct GdbReply {
    // Packets to send, in order; none when the reply comes later (a stop
    // reply) or never. An unsupported command gets one empty packet.
    std::vector<std::string> packets;
    GdbAction action = GdbAction::NONE;
};

GdbReply run_command(GdbSession& session, const std::string& packet);

// The stop reply gdb expects for stop.
std::string stop_reply(const DebugStop& stop);

// A memory read beyond this is cut short; gdb asks for the rest.
extern const uint32_t MAX_MEMORY_READ;

} // namespace korvasim::gdb

#endif

// The firmware debugged with gdb-multiarch, in batch mode, through
// korvasim's debugger port: from reset, with a host on the port, and while
// dudedoved runs its tests.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "firmware/board_map.h"
#include "tests/support/case_name.h"
#include "tests/support/simulator_process.h"

namespace {

const int GDB_TIMEOUT_MS = 60000;

// korvasim with its debugger port on a free port of the loopback address.
class DebuggedSimulator : public Simulator {
public:
    explicit DebuggedSimulator(std::vector<std::string> args) : Simulator(with_gdb(std::move(args)))
    {
        const std::string& err = process().err();
        const std::string marker = "debugger port 127.0.0.1:";
        const size_t at = err.find(marker);
        EXPECT_NE(at, std::string::npos) << err;
        if (at != std::string::npos)
            port_ = err.substr(at + marker.size(), err.find_first_of(";\n", at) - at - marker.size());
    }

    const std::string& port() const { return port_; }

private:
    static std::vector<std::string> with_gdb(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--gdb", "0"});
        return args;
    }

    std::string port_;
};

// gdb-multiarch on the firmware's ELF, attached to sim, running commands.
std::unique_ptr<Session> start_gdb(const DebuggedSimulator& sim, const std::vector<std::string>& commands)
{
    std::vector<std::string> args = {"-batch", "-nx", "-ex", "set pagination off", "-ex",
                                     "set confirm off", "-ex", "target remote 127.0.0.1:" + sim.port()};
    for (const auto& c : commands)
        args.insert(args.end(), {"-ex", c});
    args.push_back(BOOT_IMAGE_ELF);
    return std::make_unique<Session>(GDB_PATH, ChildOptions{args, {}, {}});
}

// The value gdb's "info registers NAME" printed, or ~0u.
uint32_t printed_register(const std::string& out, const std::string& name, size_t from = 0)
{
    const size_t at = out.find("\n" + name + " ", from);
    if (at == std::string::npos)
        return ~0u;
    return static_cast<uint32_t>(std::stoul(out.substr(out.find("0x", at)), nullptr, 16));
}

// A file that gdb's "shell touch" makes when it has got that far.
std::string signal_file(const std::string& name)
{
    return make_temp_dir() + "/" + name;
}

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(Debugger, FromResetToTheCommandWait)
{
    DebuggedSimulator sim({"--gdb-wait", "--image", BOOT_IMAGE_BIN});
    HostPort host(sim.path());  // powers the board on; it holds at reset
    auto gdb = start_gdb(sim, {"info registers pc", "break mon_getc", "continue", "bt",
                               "info registers sp", "stepi", "info registers pc",
                               "x/4xw 0x52000000", "detach"});
    ASSERT_EQ(gdb->wait_exit(GDB_TIMEOUT_MS), 0) << gdb->out() << gdb->err();
    const std::string& out = gdb->out();
    EXPECT_EQ(printed_register(out, "pc"), 0u) << out;
    EXPECT_NE(out.find("Breakpoint 1, mon_getc ()"), std::string::npos) << out;
    EXPECT_NE(out.find(" in monitor_main () at "), std::string::npos) << out;
    const uint32_t sp = printed_register(out, "sp");
    EXPECT_GT(sp, IMAGE_BASE + BOOT_RAM_SIZE - 0x40) << out;
    EXPECT_LE(sp, IMAGE_BASE + BOOT_RAM_SIZE) << out;
    // One instruction on from the breakpoint's.
    EXPECT_NE(out.find("<mon_getc()+4>"), std::string::npos) << out;
    EXPECT_NE(out.find("0x52000000:\t0x"), std::string::npos) << out;
    // Detached, the board goes on to its prompt.
    EXPECT_EQ(host.read_bytes(1, GDB_TIMEOUT_MS), "?");
}

TEST(Debugger, AWatchpointStopsAtTheCommandLoopsWrite)
{
    DebuggedSimulator sim({"--image", BOOT_IMAGE_BIN});
    HostPort host(sim.path());
    ASSERT_EQ(host.read_bytes(1, GDB_TIMEOUT_MS), "?");
    const std::string stopped = signal_file("stopped");
    auto gdb = start_gdb(sim, {"watch output_enabled", "shell touch " + stopped, "continue",
                               "bt 1", "detach"});
    ASSERT_TRUE(gdb->wait_until([&] { return exists(stopped); }, GDB_TIMEOUT_MS)) << gdb->err();
    // The board is stopped: the byte waits in its receiver.
    host.send({'v'});
    ASSERT_EQ(gdb->wait_exit(GDB_TIMEOUT_MS), 0) << gdb->out() << gdb->err();
    const std::string& out = gdb->out();
    EXPECT_NE(out.find("Hardware watchpoint 1: output_enabled\n\nOld value = 0\nNew value = 1\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find("#0  monitor_main () at "), std::string::npos) << out;
    EXPECT_EQ(host.read_bytes(3, GDB_TIMEOUT_MS), ":0?");
}

struct RunCase {
    const char* name;
    std::vector<std::string> after_breakpoint;  // gdb's commands
    bool interrupt_after_run;  // gdb still waits when the run is over
};

class DebuggedRunTest : public testing::TestWithParam<RunCase> {};

TEST_P(DebuggedRunTest, StopsInTheSramTestAndTheRunStillPasses)
{
    // Held at reset, so that the breakpoint is in before the first instruction.
    DebuggedSimulator sim({"--gdb-wait"});
    const std::string ready = signal_file("ready");
    std::vector<std::string> commands = {"break sram_test", "shell touch " + ready, "continue", "bt"};
    commands.insert(commands.end(), GetParam().after_breakpoint.begin(), GetParam().after_breakpoint.end());
    auto gdb = start_gdb(sim, commands);
    ASSERT_TRUE(gdb->wait_until([&] { return exists(ready); }, GDB_TIMEOUT_MS)) << gdb->err();
    Session tool(DUDEDOVED_PATH, ChildOptions{{"-p", sim.path(), "sram"}, {}, {}});
    ASSERT_TRUE(gdb->wait_until([&] { return gdb->out().find("Breakpoint 1, sram_test") != std::string::npos; },
                                GDB_TIMEOUT_MS))
        << gdb->out() << gdb->err();
    EXPECT_EQ(tool.wait_exit(GDB_TIMEOUT_MS), 0) << tool.out() << tool.err();
    EXPECT_EQ(console_results(tool.out()), "Testing SRAM... passed\n");
    if (GetParam().interrupt_after_run)
        gdb->signal(SIGINT);
    ASSERT_EQ(gdb->wait_exit(GDB_TIMEOUT_MS), 0) << gdb->out() << gdb->err();
    EXPECT_NE(gdb->out().find(" in monitor_main () at "), std::string::npos) << gdb->out();
}

INSTANTIATE_TEST_SUITE_P(Debugger, DebuggedRunTest,
                         testing::Values(RunCase{"Detach", {"detach"}, false},
                                         RunCase{"Continue", {"delete", "continue"}, true}),
                         CaseName());

TEST(Debugger, KillEndsTheSessionAsIfTheHostHadClosed)
{
    DebuggedSimulator sim({"--image", BOOT_IMAGE_BIN});
    {
        HostPort host(sim.path());
        ASSERT_EQ(host.read_bytes(1, GDB_TIMEOUT_MS), "?");
        auto gdb = start_gdb(sim, {"kill"});
        ASSERT_EQ(gdb->wait_exit(GDB_TIMEOUT_MS), 0) << gdb->out() << gdb->err();
        // The board is off: a command gets no answer.
        host.send({'3'});
        // A running monitor answers at once; this waits only for an answer that must not come.
        EXPECT_EQ(host.read_bytes(1, 300), "");
    }
    HostPort next(sim.path());
    EXPECT_EQ(next.read_bytes(1, GDB_TIMEOUT_MS), "?") << "the next session powers a fresh board";
}

TEST(Debugger, ASecondDebuggerIsTurnedAway)
{
    DebuggedSimulator sim({"--image", BOOT_IMAGE_BIN});
    HostPort host(sim.path());
    const std::string attached = signal_file("attached");
    auto first = start_gdb(sim, {"shell touch " + attached, "continue"});
    ASSERT_TRUE(first->wait_until([&] { return exists(attached); }, GDB_TIMEOUT_MS)) << first->err();
    auto second = start_gdb(sim, {"info registers pc"});
    EXPECT_NE(second->wait_exit(GDB_TIMEOUT_MS), -1);
    EXPECT_NE((second->out() + second->err()).find("another debugger is attached"), std::string::npos)
        << second->out() << second->err();
    // The first one is still in charge: it stops the board and detaches.
    first->signal(SIGINT);
    EXPECT_EQ(first->wait_exit(GDB_TIMEOUT_MS), 0);
    EXPECT_NE(first->out().find("SIGINT"), std::string::npos) << first->out();
    EXPECT_TRUE(sim.process().wait_until(
        [&] { return sim.process().err().find("refused a debugger") != std::string::npos; },
        GDB_TIMEOUT_MS));
}

} // namespace

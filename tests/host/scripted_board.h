// A scripted board on a pseudo-terminal for dudedoved: the test plays the
// loader and the monitor and records every byte the tool sends.
#ifndef KORVA_TESTS_SCRIPTED_BOARD_H
#define KORVA_TESTS_SCRIPTED_BOARD_H

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "firmware/boot_image.h"
#include "tests/support/session.h"

namespace {

const int TIMEOUT_MS = 10000;

std::string image_bytes()
{
    return std::string(reinterpret_cast<const char*>(boot_image), BOOT_IMAGE_SIZE);
}

// One scripted run: the tool on a fresh pty, the board side in the test.
class ScriptedBoard {
public:
    // With port_link, the port is named by a symbolic link of that name in
    // dir, as korvasim --link makes one.
    explicit ScriptedBoard(std::vector<std::string> args,
                           std::vector<std::pair<std::string, std::string>> env = {},
                           std::string dir = "", std::string port_link = "")
        : tool_(DUDEDOVED_PATH, with_port(std::move(args), env, dir, port_link), &pty_)
    {
    }

    // Plays the loader: wake-up byte once the tool waits, then the image;
    // then the fresh monitor's first output, its prompt.
    void wake(char byte = '\0', const std::string& first_output = "?")
    {
        ASSERT_TRUE(tool_.wait_stdout("Waiting for the board to wake up...", TIMEOUT_MS))
            << tool_.err();
        tool_.send(std::string(1, byte));
        ASSERT_TRUE(tool_.wait_port_bytes(BOOT_IMAGE_SIZE, TIMEOUT_MS));
        EXPECT_EQ(tool_.port(), image_bytes());
        consumed_ = BOOT_IMAGE_SIZE;
        tool_.send(first_output);
    }

    // Plays the monitor for one command: expect the command, reply, prompt.
    void serve(char expected, const std::string& reply, const std::string& before_prompt = "")
    {
        ASSERT_TRUE(tool_.wait_port_bytes(consumed_ + 1, TIMEOUT_MS))
            << "no command after the prompt; expected " << expected;
        EXPECT_EQ(tool_.port()[consumed_], expected);
        ++consumed_;
        tool_.send(reply + before_prompt + "?");
    }

    // Plays a monitor that falls silent after its answer (reset, lost power).
    void serve_then_fall_silent(char expected, const std::string& reply)
    {
        ASSERT_TRUE(tool_.wait_port_bytes(consumed_ + 1, TIMEOUT_MS))
            << "no command after the prompt; expected " << expected;
        EXPECT_EQ(tool_.port()[consumed_], expected);
        ++consumed_;
        tool_.send(reply);
    }

    // Plays the monitor for a run of all three tests.
    void serve_all(const std::string& sdram, const std::string& flash, const std::string& sram)
    {
        serve('1', sdram);
        serve('2', flash);
        serve('3', sram);
    }

    int finish() { return tool_.wait_exit(TIMEOUT_MS); }
    Session& tool() { return tool_; }
    Pty& pty() { return pty_; }
    std::string results() const { return console_results(tool_.out()); }

private:
    ChildOptions with_port(std::vector<std::string> args,
                           std::vector<std::pair<std::string, std::string>> env, std::string dir,
                           const std::string& port_link)
    {
        if (!port_link.empty()) {
            EXPECT_EQ(symlink(pty_.slave_path().c_str(), (dir + "/" + port_link).c_str()), 0);
        }
        args.insert(args.begin(), {"-p", port_link.empty() ? pty_.slave_path() : port_link});
        return ChildOptions{std::move(args), std::move(env), std::move(dir)};
    }

    Pty pty_;
    Session tool_;
    size_t consumed_ = 0;
};

} // namespace

#endif

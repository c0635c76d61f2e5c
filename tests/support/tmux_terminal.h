// A terminal as a person sees it: a tmux server of the test's own (its
// socket in the test's folder) with one window running a command, read and
// typed into as a person would. It ends with the test, however the test
// ends, and takes the command with it.
#ifndef KORVA_TESTS_TMUX_TERMINAL_H
#define KORVA_TESTS_TMUX_TERMINAL_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "tests/support/session.h"

class TmuxTerminal {
public:
    TmuxTerminal(const std::string& dir, const std::string& command, int width, int height)
        : dir_(dir), socket_(dir + "/tmux")
    {
        // The window stays with its last screen when the command ends. A
        // second window ends the server when the test's process is gone,
        // however it went (a time-out kills a test without its destructors).
        const std::string watch = "while kill -0 " + std::to_string(getpid()) + " 2>/dev/null; do sleep 1; done; "
                                  "exec /usr/bin/tmux -S '" + socket_ + "' kill-server";
        Session start("/usr/bin/tmux",
                      ChildOptions{{"-S", socket_, "new-session", "-d", "-x", std::to_string(width), "-y",
                                    std::to_string(height), command, ";", "set-option", "remain-on-exit", "on", ";",
                                    "new-window", "-d", watch},
                                   {{"LSAN_OPTIONS", getenv("LSAN_OPTIONS") ? getenv("LSAN_OPTIONS") : ""}},
                                   dir});
        started_ = start.wait_exit(30000) == 0;
        EXPECT_TRUE(started_) << start.err();
    }
    ~TmuxTerminal()
    {
        // The command has ended before the test's folder goes: a station
        // told to stop still writes its records.
        const std::string pane = tmux({"display-message", "-p", "-t", ":0", "#{pane_pid}"});
        tmux({"kill-server"});
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (running(pane) && std::chrono::steady_clock::now() < give_up)
            usleep(50 * 1000);
    }
    TmuxTerminal(const TmuxTerminal&) = delete;
    TmuxTerminal& operator=(const TmuxTerminal&) = delete;

    bool started() const { return started_; }
    // What the window shows, its history too.
    std::string screen() const { return tmux({"capture-pane", "-p", "-S", "-", "-E", "-"}); }
    // A line typed, then Enter.
    void type(const std::string& text) const
    {
        tmux({"send-keys", "-l", text});
        tmux({"send-keys", "Enter"});
    }
    // Waits until text stands on the screen times times, for up to timeout_ms.
    bool wait_for(const std::string& text, size_t times, int timeout_ms) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (count_of(screen(), text) < times) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            usleep(100 * 1000);
        }
        return true;
    }

private:
    // Whether the process pid (as text) is there and not yet a zombie.
    static bool running(const std::string& pid)
    {
        const std::string number = pid.substr(0, pid.find('\n'));
        if (number.empty())
            return false;
        std::ifstream stat("/proc/" + number + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            return false;
        const size_t state = line.rfind(')');
        return state != std::string::npos && state + 2 < line.size() && line[state + 2] != 'Z';
    }

    std::string tmux(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"-S", socket_});
        Session run("/usr/bin/tmux", ChildOptions{args, {}, dir_});
        run.wait_exit(30000);
        return run.out();
    }

    std::string dir_, socket_;
    bool started_ = false;
};

#endif

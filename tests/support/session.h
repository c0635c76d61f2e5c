// Test support: a program under test started as a child process, with its
// standard output and error captured, and optionally the master side of a
// pseudo-terminal whose slave the program uses as its serial port.
#ifndef KORVA_TEST_SESSION_H
#define KORVA_TEST_SESSION_H

#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// A pseudo-terminal pair whose slave has been opened and closed once, so that
// the master reports a hang-up until somebody opens the slave.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }
    void close_master();

private:
    int master_ = -1;
    std::string slave_path_;
};

struct ChildOptions {
    std::vector<std::string> args;  // without the program name
    std::vector<std::pair<std::string, std::string>> env;  // added or replaced
    std::string working_dir;
    // Run as the unprivileged user nobody when the tests run as root, so that
    // what root is let through (an exclusive port, a lock) is tested too.
    bool unprivileged = false;
};

// The user and group a test switches to for ChildOptions::unprivileged.
const unsigned NOBODY = 65534;

class Session {
public:
    Session(const std::string& program, const ChildOptions& options, Pty* pty = nullptr);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Pumps output until cond holds or timeout_ms passes. Returns cond().
    bool wait_until(const std::function<bool()>& cond, int timeout_ms);
    bool wait_stdout(const std::string& text, int timeout_ms);
    // Waits until the program has sent at least count bytes on the port.
    bool wait_port_bytes(size_t count, int timeout_ms);
    // Sends bytes to the program over the pty.
    void send(const std::string& bytes);

    // Waits for the program to end; its exit status, 128 + signal, or -1 on
    // time-out (the program is then killed).
    int wait_exit(int timeout_ms);
    void signal(int sig);
    bool exited() const { return exited_; }
    pid_t pid() const { return pid_; }

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    // Everything the program wrote to the port.
    const std::string& port() const { return port_; }

private:
    void pump(int timeout_ms);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    Pty* pty_;
    bool exited_ = false;
    int status_ = -1;
    std::string out_;
    std::string err_;
    std::string port_;
};

std::string read_file(const std::string& path);

// What dudedoved's console shows after the wake-up and progress lines are
// wiped: the test lines. Empty until the download has finished.
std::string console_results(const std::string& console);

// A fresh empty directory under the test's temporary directory.
std::string make_temp_dir();

// How often what stands in text (overlapping ones too).
size_t count_of(const std::string& text, const std::string& what);

#endif

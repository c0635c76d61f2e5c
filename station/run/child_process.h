// A program run by the station, with its standard output and error read
// through pipes that the station's loop polls.
#ifndef KORVASTATION_CHILD_PROCESS_H
#define KORVASTATION_CHILD_PROCESS_H

#include <string>
#include <sys/types.h>
#include <vector>

namespace korvastation {

class ChildProcess {
public:
    // Starts program with args (without its name). Throws
    // std::runtime_error when it cannot be started. The child ends with the
    // station, however the station ends (kill -9 too). With own_group it leads
    // a process group of its own, so that whatever it leaves running can be
    // ended with it (signal_group).
    // input: a descriptor the child reads as its standard input (the
    // caller keeps and closes it); else it reads nothing.
    ChildProcess(const std::string& program, const std::vector<std::string>& args, bool own_group = false,
                 int input = -1);
    ~ChildProcess();  // kills a child that still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    int out_fd() const { return out_; }
    int err_fd() const { return err_; }
    // Reads what a pipe has; false at its end (the pipe is then closed).
    bool read_out(std::string* into) { return drain(&out_, into); }
    bool read_err(std::string* into) { return drain(&err_, into); }
    // Closes both pipes: a child that says too much finds its output closed.
    void close_output();

    void signal(int sig);
    // Signals the child's whole process group (with own_group).
    void signal_group(int sig);
    // Whether the child has ended; its status is then in status().
    bool reap();
    bool ended() const { return ended_; }
    // Exit status, or 128 + signal.
    int status() const { return status_; }

private:
    bool drain(int* fd, std::string* into);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool ended_ = false;
    int status_ = -1;
};

} // namespace korvastation

#endif

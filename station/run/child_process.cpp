#include "station/run/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvastation {

namespace {

// In the child between fork and exec: only async-signal-safe calls. A child
// whose station is gone (its parent changed) ends at once; one that cannot
// run its program reports errno through the status pipe.
[[noreturn]] void become(const std::string& program, char* const* argv, int in, int out, int err, int status,
                         pid_t station, bool own_group)
{
    if (own_group)
        setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != station)
        _exit(127);
    if (in < 0)
        in = open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
        const int e = errno;
        (void)!write(status, &e, sizeof e);
        _exit(127);
    }
    execvp(program.c_str(), argv);
    const int e = errno;
    (void)!write(status, &e, sizeof e);
    _exit(127);
}

} // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args, bool own_group,
                           int input)
{
    int out[2] = {-1, -1}, err[2] = {-1, -1}, status[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0) {
        const int e = errno;
        for (int fd : {out[0], out[1], err[0], err[1]})
            if (fd >= 0)
                close(fd);
        throw std::runtime_error(std::string("cannot make a pipe: ") + strerror(e));
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t station = getpid();
    pid_ = fork();
    if (pid_ == 0)
        become(program, argv.data(), input, out[1], err[1], status[1], station, own_group);
    const int fork_errno = errno;
    close(out[1]);
    close(err[1]);
    close(status[1]);
    out_ = out[0];
    err_ = err[0];
    int exec_errno = pid_ < 0 ? fork_errno : 0;
    if (pid_ > 0) {
        // The status pipe closes on exec: nothing read means the program runs.
        while (read(status[0], &exec_errno, sizeof exec_errno) < 0 && errno == EINTR) {
        }
        if (exec_errno != 0)
            waitpid(pid_, nullptr, 0);
    }
    close(status[0]);
    if (exec_errno != 0) {
        close(out_);
        close(err_);
        out_ = err_ = -1;
        ended_ = true;
        throw std::runtime_error("cannot run " + program + ": " + strerror(exec_errno));
    }
    fcntl(out_, F_SETFL, O_NONBLOCK);
    fcntl(err_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess()
{
    if (!ended_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0)
        close(out_);
    if (err_ >= 0)
        close(err_);
}

bool ChildProcess::drain(int* fd, std::string* into)
{
    if (*fd < 0)
        return false;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(*fd, buffer, sizeof buffer);
        if (n > 0) {
            into->append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        close(*fd);
        *fd = -1;
        return false;
    }
}

void ChildProcess::close_output()
{
    for (int* fd : {&out_, &err_})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

void ChildProcess::signal(int sig)
{
    if (!ended_)
        kill(pid_, sig);
}

void ChildProcess::signal_group(int sig)
{
    // The group outlives its leader while anything it left behind runs.
    kill(-pid_, sig);
}

bool ChildProcess::reap()
{
    if (ended_)
        return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_)
        return false;
    ended_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

} // namespace korvastation

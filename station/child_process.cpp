#include "station/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace korvastation {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot make a pipe: ") + strerror(errno));
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error(std::string("cannot make a pipe: ") + strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int spawned = posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (spawned != 0) {
        close(out_);
        close(err_);
        throw std::runtime_error("cannot run " + program + ": " + strerror(spawned));
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

void ChildProcess::signal(int sig)
{
    if (!ended_)
        kill(pid_, sig);
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

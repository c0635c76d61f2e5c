#include "tests/support/session.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "link/board_protocol.h"

extern char** environ;

namespace {

void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + strerror(errno));
}

bool drain(int fd, std::string& into)
{
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<size_t>(n));
        return true;
    }
    return false;
}

} // namespace

Pty::Pty()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        fail("pseudo-terminal");
    slave_path_ = ptsname(master_);
    termios raw;
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    int slave = open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0)
        fail("open " + slave_path_);
    close(slave);
}

Pty::~Pty()
{
    close_master();
}

void Pty::close_master()
{
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

Session::Session(const std::string& program, const ChildOptions& options, Pty* pty) : pty_(pty)
{
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        fail("pipe");
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : options.env)
            replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced)
            env_strings.push_back(entry);
    }
    for (const auto& [name, value] : options.env)
        env_strings.push_back(name + "=" + value);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : options.args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env_strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t test = getpid();
    pid_ = fork();
    if (pid_ < 0)
        fail("fork");
    if (pid_ == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        if (!options.working_dir.empty() && chdir(options.working_dir.c_str()) != 0)
            _exit(126);
        if (options.unprivileged && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setresgid(NOBODY, NOBODY, NOBODY) != 0 ||
             setresuid(NOBODY, NOBODY, NOBODY) != 0))
            _exit(125);
        // A test killed (a time-out runs no destructor) takes what it
        // started with it. Set after the change of user, which clears it.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != test)
            _exit(124);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
}

Session::~Session()
{
    if (!exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(out_fd_);
    close(err_fd_);
}

void Session::pump(int timeout_ms)
{
    pollfd fds[3] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}, {-1, POLLIN, 0}};
    if (pty_ && pty_->master() >= 0)
        fds[2].fd = pty_->master();
    int ready = poll(fds, 3, timeout_ms);
    if (ready <= 0)
        return;
    if (fds[0].revents)
        drain(out_fd_, out_);
    if (fds[1].revents)
        drain(err_fd_, err_);
    if (fds[2].revents & POLLIN)
        drain(fds[2].fd, port_);
    // With no slave open the master reports a hang-up at once: don't spin.
    if ((fds[2].revents & POLLHUP) && !(fds[2].revents & POLLIN))
        usleep(1000);
}

bool Session::wait_until(const std::function<bool()>& cond, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        pump(static_cast<int>(std::min<long long>(left, 50)));
        if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) {
            exited_ = true;
            // Collect what is left in the pipes.
            while (drain(out_fd_, out_)) {
            }
            while (drain(err_fd_, err_)) {
            }
        }
        if (exited_ && !cond())
            return false;
    }
    return true;
}

bool Session::wait_stdout(const std::string& text, int timeout_ms)
{
    return wait_until([&] { return out_.find(text) != std::string::npos; }, timeout_ms);
}

bool Session::wait_port_bytes(size_t count, int timeout_ms)
{
    return wait_until([&] { return port_.size() >= count; }, timeout_ms);
}

void Session::send(const std::string& bytes)
{
    if (write(pty_->master(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        fail("write to pty");
}

int Session::wait_exit(int timeout_ms)
{
    if (!wait_until([&] { return exited_; }, timeout_ms)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        exited_ = true;
        return -1;
    }
    if (WIFEXITED(status_))
        return WEXITSTATUS(status_);
    return 128 + WTERMSIG(status_);
}

void Session::signal(int sig)
{
    kill(pid_, sig);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string console_results(const std::string& console)
{
    const std::string wipe = "\r" + std::string(PROGRESS_WIDTH, ' ') + "\r";
    const size_t at = console.find(wipe);
    return at == std::string::npos ? "" : console.substr(at + wipe.size());
}

namespace {

// The folders made since the last test ended.
std::vector<std::string>& made_dirs()
{
    static std::vector<std::string> dirs;
    return dirs;
}

// A test that passed leaves nothing behind; a failing one's folders stay
// for a look, and the failure names them.
class TempDirKeeper : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo& test) override { settle(!test.result()->Failed()); }
    void OnTestProgramEnd(const testing::UnitTest& unit) override { settle(!unit.Failed()); }

    static void settle(bool passed)
    {
        for (const std::string& dir : made_dirs()) {
            if (passed) {
                std::error_code ignored;
                std::filesystem::remove_all(dir, ignored);
            } else {
                fprintf(stderr, "the failure's folder is kept: %s\n", dir.c_str());
            }
        }
        made_dirs().clear();
    }
};

const bool keeper_installed = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new TempDirKeeper);
    return true;
}();

} // namespace

std::string make_temp_dir()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base ? base : "/tmp") + "/korva-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        fail("mkdtemp");
    made_dirs().push_back(pattern);
    return pattern;
}

size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

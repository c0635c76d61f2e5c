#include "sim/program/power_switch.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvasim {

namespace {

// What a complaint shows of a word: a writer may send megabytes on one line.
const size_t SHOWN_WORD = 40;
const size_t MAX_LINE = 4096;
const size_t MAX_TAKEN = 64 * 1024;

} // namespace

PowerSwitch::PowerSwitch(const std::string& path) : path_(path)
{
    const std::string refused = "cannot use --power " + path + ": ";
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode))
            throw std::runtime_error(refused + "it exists and is not a named pipe");
    } else if (mkfifo(path.c_str(), 0660) != 0) {
        throw std::runtime_error(refused + strerror(errno));
    } else {
        made_ = true;
    }
    read_fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    keep_open_fd_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (read_fd_ < 0 || keep_open_fd_ < 0) {
        const std::string why = strerror(errno);
        release();
        throw std::runtime_error(refused + why);
    }
    // Two boards on one switch would each take some of its words.
    if (flock(read_fd_, LOCK_EX | LOCK_NB) != 0) {
        const std::string why = errno == EWOULDBLOCK ? "another korvasim takes its power from it" : strerror(errno);
        release();
        throw std::runtime_error(refused + why);
    }
    if (fstat(read_fd_, &st) == 0)
        made_identity_ = made_ ? std::make_pair(st.st_dev, st.st_ino) : made_identity_;
}

PowerSwitch::~PowerSwitch()
{
    release();
}

void PowerSwitch::release()
{
    if (read_fd_ >= 0)
        close(read_fd_);
    if (keep_open_fd_ >= 0)
        close(keep_open_fd_);
    read_fd_ = keep_open_fd_ = -1;
    // Only the pipe this board made: a file put in its place is someone's.
    struct stat st;
    if (made_ && lstat(path_.c_str(), &st) == 0 && std::make_pair(st.st_dev, st.st_ino) == made_identity_)
        unlink(path_.c_str());
    made_ = false;
}

void PowerSwitch::take_commands(const std::function<void(const std::string&)>& complain)
{
    // Lines are taken chunk by chunk so that a writer sending megabytes at once never fills the memory,
    // and a bounded amount per call so that such a writer cannot stop the board.
    char buffer[256];
    ssize_t n;
    for (size_t taken = 0; taken < MAX_TAKEN && (n = read(read_fd_, buffer, sizeof buffer)) > 0;
         taken += static_cast<size_t>(n)) {
        pending_.append(buffer, static_cast<size_t>(n));
        take_lines(complain);
        if (pending_.size() > MAX_LINE) {
            pending_.clear();
            overlong_ = true;
        }
    }
}

void PowerSwitch::take_lines(const std::function<void(const std::string&)>& complain)
{
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        std::string word = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (overlong_ || word.size() > MAX_LINE) {
            // The end of a line whose start was dropped is no word.
            overlong_ = false;
            complain("power switch " + path_ + ": a line of more than " + std::to_string(MAX_LINE) +
                     " bytes (on or off)");
            continue;
        }
        word.erase(0, word.find_first_not_of(" \t\r"));
        word.erase(word.find_last_not_of(" \t\r") + 1);
        if (word == "on" || word == "off") {
            offs_ += on_ && word == "off";
            on_ = word == "on";
        }
        else if (!word.empty())
            complain("power switch " + path_ + ": unknown command '" +
                     (word.size() > SHOWN_WORD ? word.substr(0, SHOWN_WORD) + "...' (" +
                                                     std::to_string(word.size()) + " bytes)"
                                               : word + "'") +
                     " (on or off)");
    }
}

} // namespace korvasim

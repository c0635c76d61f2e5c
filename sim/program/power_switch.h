// The board's power under an outside switch: a named pipe that takes the
// words "on" and "off", one a line, as a relay or a switched hub port would
// be driven on a real line (echo on > PATH). With it, opening the port no
// longer powers the board, and the board stays powered across host sessions.
#ifndef KORVASIM_POWER_SWITCH_H
#define KORVASIM_POWER_SWITCH_H

#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>

namespace korvasim {

class PowerSwitch {
public:
    // Makes the pipe at path (an existing pipe is taken as it is). Throws
    // std::runtime_error naming the path when it cannot.
    explicit PowerSwitch(const std::string& path);
    ~PowerSwitch();
    PowerSwitch(const PowerSwitch&) = delete;
    PowerSwitch& operator=(const PowerSwitch&) = delete;

    // The descriptor to poll for commands.
    int fd() const { return read_fd_; }
    // Takes the commands that came; on() tells the switch's state after
    // them, and switched_off() how often it went off so far, so that an
    // "off" and an "on" read at once still make a power cycle. A word that
    // is neither "on" nor "off" goes to complain.
    void take_commands(const std::function<void(const std::string&)>& complain);
    bool on() const { return on_; }
    unsigned long switched_off() const { return offs_; }

private:
    void release();
    void take_lines(const std::function<void(const std::string&)>& complain);

    std::string path_;
    bool made_ = false;
    std::pair<dev_t, ino_t> made_identity_{0, 0};  // of the pipe it made
    int read_fd_ = -1;
    int keep_open_fd_ = -1;  // so that a writer's close is no end of file
    std::string pending_;
    bool overlong_ = false;  // dropping the rest of a line too long to be a word
    bool on_ = false;
    unsigned long offs_ = 0;
};

} // namespace korvasim

#endif

// The board on a pseudo-terminal: its slave side is the board's serial
// port. Opening it powers the board up; the resident loader sends its
// wake-up byte and takes the image; closing it resets the board.
#ifndef KORVASIM_PTY_FRONT_END_H
#define KORVASIM_PTY_FRONT_END_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "faults.h"

namespace korvasim {

struct FrontEndOptions {
    FaultSet faults;
    uint8_t wake_byte = 0x00;
    bool once = false;               // serve one host session, then return
    std::vector<uint8_t> image;      // booted at once instead of the loader
    FILE* trace = nullptr;           // one line per device register access
    int power_up_ms = 200;           // host's open to the wake-up byte
    int silence_ms = 250;            // silence that ends the image
};

class PtyFrontEnd {
public:
    PtyFrontEnd();  // throws std::runtime_error when no pty can be had
    ~PtyFrontEnd();
    PtyFrontEnd(const PtyFrontEnd&) = delete;
    PtyFrontEnd& operator=(const PtyFrontEnd&) = delete;

    const std::string& slave_path() const { return slave_path_; }

    // Serves host sessions until stop is set (or after one with once).
    void run(const FrontEndOptions& options, const std::atomic<bool>& stop);

private:
    enum class Wait { DATA, HANG_UP, TIMEOUT, STOP };

    Wait wait_input(int timeout_ms, const std::atomic<bool>& stop);
    bool wait_for_host(const std::atomic<bool>& stop);
    bool pause(int ms, const std::atomic<bool>& stop);
    void serve(const FrontEndOptions& options, const std::atomic<bool>& stop);
    bool receive_image(const FrontEndOptions& options, const std::atomic<bool>& stop,
                       std::vector<uint8_t>* image);
    void drain_until_hang_up(const std::atomic<bool>& stop);
    std::string read_available();

    int master_ = -1;
    std::string slave_path_;
};

} // namespace korvasim

#endif

// The real boot image in the simulated board, driven command by command.
#ifndef KORVA_MONITOR_SESSION_H
#define KORVA_MONITOR_SESSION_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/board/board.h"
#include "firmware/boot_image.h"
#include "sim/analysis/text_lines.h"

inline std::vector<uint8_t> monitor_image()
{
    return std::vector<uint8_t>(boot_image, boot_image + BOOT_IMAGE_SIZE);
}

// Replaces the one big-endian word equal to from in image[0, size) by to.
inline void replace_word(uint8_t* image, size_t size, uint32_t from, uint32_t to)
{
    int found = 0;
    for (size_t i = 0; i + 4 <= size; i += 4) {
        const uint32_t word = uint32_t(image[i]) << 24 | uint32_t(image[i + 1]) << 16 |
                              uint32_t(image[i + 2]) << 8 | image[i + 3];
        if (word != from)
            continue;
        ++found;
        for (int b = 0; b < 4; ++b)
            image[i + b] = static_cast<uint8_t>(to >> (24 - 8 * b));
    }
    ASSERT_EQ(found, 1) << "word 0x" << std::hex << from << " in the image";
}

// A UART that sends at once: the firmware's polls and instructions then do
// not hang on the line's timing.
inline korvasim::BoardConfig instant_line()
{
    korvasim::BoardConfig config;
    config.timed_line = false;
    return config;
}

inline korvasim::BoardConfig with_faults(const std::vector<std::string>& specs)
{
    korvasim::BoardConfig config;
    for (const auto& spec : specs) {
        const korvasim::Result added = korvasim::add_fault(spec, config.faults);
        EXPECT_TRUE(added) << added.why();
    }
    return config;
}

class Monitor {
public:
    static constexpr int TIMEOUT_MS = 60000;

    // Boots the image; prepare may change the whole boot RAM first.
    explicit Monitor(korvasim::BoardConfig config = {},
                     const std::function<void(uint8_t*)>& prepare = nullptr)
        : board_(std::move(config))
    {
        std::vector<uint8_t> image = monitor_image();
        if (prepare) {
            image.resize(BOOT_RAM_SIZE, 0);
            prepare(image.data());
        }
        EXPECT_TRUE(board_.boot(image, TIMEOUT_MS)) << "no prompt; " << board_.fault();
    }

    // Sends bytes and returns what the board sent back until it waits again.
    std::string command(const std::string& bytes, int timeout_ms = TIMEOUT_MS)
    {
        std::string answer;
        EXPECT_TRUE(board_.exchange(bytes, timeout_ms, &answer))
            << "no answer to " << bytes << "; " << board_.fault();
        return answer;
    }

    korvasim::Board& board() { return board_; }

private:
    korvasim::Board board_;
};

// The report between a command and its answer: everything before the ':'.
inline std::string report_of(const std::string& answer)
{
    return answer.substr(0, answer.rfind(':'));
}

#endif

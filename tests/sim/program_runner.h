// Loads the cross-assembled test programs into a simulated board.
#ifndef KORVA_PROGRAM_RUNNER_H
#define KORVA_PROGRAM_RUNNER_H

#include <stdexcept>
#include <string>
#include <vector>

#include "sim/board/board.h"
#include "tests/support/session.h"

inline std::vector<uint8_t> test_program(const std::string& name)
{
    const std::string path = std::string(PROGRAM_DIR) + "/" + name + ".bin";
    const std::string bytes = read_file(path);
    if (bytes.empty())
        throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// A program as a boot image with its parameter word in place.
inline std::vector<uint8_t> image_with_parameter(const std::string& name, uint32_t parameter)
{
    std::vector<uint8_t> image = test_program(name);
    image.resize(0xFF4, 0);
    for (int i = 0; i < 4; ++i)
        image[0xFF0 + i] = static_cast<uint8_t>(parameter >> (24 - 8 * i));
    return image;
}

// Puts program and its parameter word into the board and powers it on.
inline void start_program(korvasim::Board& board, const std::string& name, uint32_t parameter = 0)
{
    board.load_image(test_program(name));
    uint8_t* word = board.boot_ram() + 0xFF0;
    for (int i = 0; i < 4; ++i)
        word[i] = static_cast<uint8_t>(parameter >> (24 - 8 * i));
    board.power_on();
}

// Big-endian word of the boot RAM.
inline uint32_t boot_word(korvasim::Board& board, uint32_t offset)
{
    const uint8_t* p = board.boot_ram() + offset;
    return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

#endif

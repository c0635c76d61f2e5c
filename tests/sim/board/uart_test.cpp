// The UART model driven by small board programs: its registers and FIFO,
// a host at another rate, the line's time per byte, a full transmitter,
// and a wait for input that blocks instead of spinning.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "firmware/monitor_settings.h"
#include "tests/sim/board/device_programs.h"
#include "tests/support/case_name.h"

namespace korvasim {
namespace {

using case_print::operator<<;

const int TIMEOUT_MS = DEVICE_TIMEOUT_MS;

TEST(Uart, RegistersFifoAndOverrun)
{
    Board board(instant_line());
    start_program(board, "uart_registers");
    ASSERT_TRUE(board.wait_idle(TIMEOUT_MS));
    // Twenty bytes into a sixteen-byte FIFO before anybody reads.
    board.send("ABCDEFGHIJKLMNOPQRST");
    ASSERT_TRUE(board.wait_halted(TIMEOUT_MS));
    EXPECT_EQ(board.output(), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(board.reg(4), unsigned(UART_LSR_DR | UART_LSR_OE | UART_LSR_THRE | 0x40));
    EXPECT_EQ(board.reg(5), unsigned(UART_LSR_THRE | 0x40));  // overrun cleared by the read
    EXPECT_EQ(board.reg(6), 0x05u);     // IER kept apart from DLM
    EXPECT_EQ(board.reg(7), unsigned(UART_LCR_8N1));
    EXPECT_EQ(board.reg(8), 0x5Au);     // scratch
    EXPECT_EQ(board.uart().divisor_low(), 7);
    EXPECT_EQ(board.uart().divisor_high(), 0);
}

struct LineCase {
    const char* name;
    korvasim::LineSettings receiver;  // of a sender at 115200 8N1
    uint8_t sent;
    uint8_t read;
};

class LineTest : public testing::TestWithParam<LineCase> {};

TEST_P(LineTest, AReceiverReadsWhatItsOwnSettingsSample)
{
    EXPECT_EQ(korvasim::across_line(GetParam().sent, korvasim::LineSettings{}, GetParam().receiver),
              GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(
    Uart, LineTest,
    testing::Values(
        LineCase{"SameSettings", {115200, 8, 'N', 1}, '?', '?'},
        LineCase{"RateWithinTolerance", {112000, 8, 'N', 1}, '?', '?'},
        // Every other sender bit from the third: bits 2, 4, 6, then stop and idle.
        LineCase{"HalfTheRate", {57600, 8, 'N', 1}, 0x3F, 0xFB},
        // Each sender bit twice, from the start bit on.
        LineCase{"TwiceTheRate", {230400, 8, 'N', 1}, 0x3F, 0xFE},
        // The eighth data bit lands where the stop bit should be.
        LineCase{"SevenBitsEighthBitLow", {115200, 7, 'N', 1}, 0x3F, 0x00},
        LineCase{"SevenBitsEighthBitHigh", {115200, 7, 'N', 1}, 0xBF, 0x3F},
        // The stop bit is taken for the parity bit: right only by chance.
        LineCase{"EvenParityWrong", {115200, 8, 'E', 1}, 0x3F, 0x00},
        LineCase{"EvenParityRightByChance", {115200, 8, 'E', 1}, 0x01, 0x01},
        LineCase{"TwoStopBits", {115200, 8, 'N', 2}, '?', 0x00},
        LineCase{"LineNotDriven", {0, 8, 'N', 1}, '?', 0x00}),
    CaseName());

TEST(Uart, AHostAtAnotherRateReadsGarbageBothWays)
{
    korvasim::BoardConfig config;
    config.host_line = [] { return korvasim::LineSettings{57600, 8, 'N', 1}; };
    Board board(config);
    start_program(board, "echo");
    ASSERT_TRUE(board.wait_idle(TIMEOUT_MS));
    EXPECT_EQ(board.output(), "\xfc\xfc") << "'H' and 'I' read at half the rate";
    board.send("?");
    ASSERT_TRUE(board.wait_idle(TIMEOUT_MS));
    // The board reads the host's '?' wrong and echoes that, read wrong again.
    const korvasim::LineSettings host{57600, 8, 'N', 1}, uart;
    const uint8_t echoed = korvasim::across_line(korvasim::across_line('?', host, uart), uart, host);
    EXPECT_EQ(board.output().substr(2), std::string(1, static_cast<char>(echoed)));
    EXPECT_NE(korvasim::across_line('?', host, uart), '?');
}

TEST(Uart, TransmitterSendsEachByteInItsLineTime)
{
    // The program's slow line, as the host reads it too.
    const korvasim::LineSettings slow{UART_CLOCK_HZ / (16 * 0x2000), 8, 'N', 1};
    korvasim::BoardConfig config;
    config.host_line = [slow] { return slow; };
    Board board(config);
    const auto start = std::chrono::steady_clock::now();
    run_to_end(board, "uart_timing");
    EXPECT_EQ(board.reg(4) & 0x60, 0u) << "THRE and TEMT clear once a byte is written";
    EXPECT_GT(board.reg(6), 1u) << "the byte takes its time";
    EXPECT_LE(board.reg(6), unsigned(Uart16550::IDLE_POLLS)) << "the CPU waits for room, not spinning";
    ASSERT_TRUE(board.wait_output_contains("U", TIMEOUT_MS));
    // 10 bits at its rate: never faster.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(10 * 1000000 / slow.baud));
}

TEST(Uart, AFullTransmitterLosesTheByte)
{
    // A line slow enough (divisor 0x2000, 100 ms a byte) that bytes written
    // back to back all meet a busy transmitter, even on a loaded machine.
    const korvasim::LineSettings slow{UART_CLOCK_HZ / (16 * 0x2000), 8, 'N', 1};
    std::mutex mutex;
    std::string sent;
    Uart16550 uart(
        [&](uint8_t byte) {
            std::lock_guard<std::mutex> lock(mutex);
            sent += static_cast<char>(byte);
        },
        [&] { return slow; });
    const auto write = [&](uint32_t offset, uint8_t value) { uart.write(offset, 1, value); };
    const auto send_and_drain = [&](const std::string& text) {
        for (char c : text)
            write(UART_THR, static_cast<uint8_t>(c));
        while (!(uart.read(UART_LSR, 1) & 0x40))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    write(UART_LCR, UART_LCR_DLAB);
    write(UART_DLL, 0);
    write(UART_DLM, 0x20);
    write(UART_LCR, UART_LCR_8N1);
    // Holding and shift register take two bytes; FIFO and shift register 17.
    send_and_drain("abcde");
    write(UART_FCR, UART_FCR_ENABLE);
    send_and_drain("ABCDEFGHIJKLMNOPQRST");
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(sent, "abABCDEFGHIJKLMNOPQ");
}

TEST(Uart, AByteAtTheHostTakesNoRoomButKeepsTemtClear)
{
    // The host holds the first byte as long as it likes (a loaded machine);
    // its line time is over, so two more bytes fit behind it.
    std::mutex mutex;
    std::condition_variable changed;
    std::string sent;
    bool release = false;
    Uart16550 uart([&](uint8_t byte) {
        std::unique_lock<std::mutex> lock(mutex);
        sent += static_cast<char>(byte);
        changed.notify_all();
        changed.wait(lock, [&] { return release || byte != 'A'; });
    });
    const auto write = [&](uint32_t offset, uint8_t value) { uart.write(offset, 1, value); };
    write(UART_LCR, UART_LCR_DLAB);
    write(UART_DLL, 7);
    write(UART_LCR, UART_LCR_8N1);
    write(UART_THR, 'A');
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::milliseconds(TIMEOUT_MS), [&] { return !sent.empty(); }));
    }
    write(UART_THR, 'B');
    write(UART_THR, 'C');
    EXPECT_EQ(uart.read(UART_LSR, 1) & 0x60, 0u) << "not all delivered yet";
    {
        std::unique_lock<std::mutex> lock(mutex);
        release = true;
        changed.notify_all();
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::milliseconds(TIMEOUT_MS), [&] { return sent.size() == 3; }));
    }
    EXPECT_EQ(sent, "ABC");
}

TEST(Uart, WaitingForInputBlocksInsteadOfSpinning)
{
    Board board(instant_line());
    start_program(board, "echo");
    ASSERT_TRUE(board.wait_idle(TIMEOUT_MS));
    EXPECT_EQ(board.output(), "HI");
    const uint64_t ticks = board.ticks();
    // Nothing to wait for but time: a polling CPU ticks thousands of times
    // in a few milliseconds, so a short look shows it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(board.ticks(), ticks);  // the CPU is parked, not polling
    EXPECT_LT(ticks, unsigned(Uart16550::IDLE_POLLS));
    board.send("xy");
    ASSERT_TRUE(board.wait_output_contains("HIxy", TIMEOUT_MS));
    EXPECT_TRUE(board.wait_idle(TIMEOUT_MS));
}

} // namespace
} // namespace korvasim

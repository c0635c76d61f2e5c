/*
 * Korva board address map: what the board is (addresses, register offsets,
 * bit meanings), shared by the firmware and the simulator. The values the
 * monitor chooses to program are in monitor_settings.h, which the simulator
 * never includes, so that it can catch a wrong one.
 *
 * Plain #defines so that the start-up assembler and the C++ monitor share one
 * source. Register offsets are in bytes from their block's base. R = read,
 * W = write, RW = both.
 */
#ifndef KORVA_BOARD_MAP_H
#define KORVA_BOARD_MAP_H

/* ---- Expansion bus: chip select n's window starts at                    */
/*      EXP_WINDOW_BASE + n x EXP_WINDOW_STRIDE                               */

#define EXP_WINDOW_BASE     0x50000000
#define EXP_WINDOW_STRIDE   0x01000000

/* ---- Boot device, chip select 0 (8 KB window, 8-bit bus) ---------------- */

/* 4 KB RAM: image from offset 0, the two flag words right after it, stack. */
#define IMAGE_BASE          0x50000000
#define BOOT_RAM_SIZE       0x1000

/* 16550 UART, one byte per register. */
#define UART_BASE           0x50001000
#define UART_RBR            0x0     /* R:  received byte */
#define UART_THR            0x0     /* W:  byte to send */
#define UART_DLL            0x0     /* RW: divisor low byte, while LCR_DLAB */
#define UART_IER            0x1     /* RW: interrupt enables */
#define UART_DLM            0x1     /* RW: divisor high byte, while LCR_DLAB */
#define UART_FCR            0x2     /* W:  FIFO control */
#define   UART_FCR_ENABLE       0x01    /* FIFOs on */
#define   UART_FCR_CLEAR_RX     0x02    /* empty the receive FIFO */
#define   UART_FCR_CLEAR_TX     0x04    /* empty the transmit FIFO */
#define   UART_FCR_TRIGGER_8    0x80    /* receive trigger level 8 bytes */
#define UART_LCR            0x3     /* RW: line control */
#define   UART_LCR_8N1          0x03    /* 8 data bits, no parity, 1 stop bit */
#define   UART_LCR_DLAB         0x80    /* divisor latch access */
#define UART_MCR            0x4     /* RW: modem control */
#define   UART_MCR_DTR          0x01
#define   UART_MCR_RTS          0x02
#define UART_LSR            0x5     /* R:  line status */
#define   UART_LSR_DR           0x01    /* received data ready */
#define   UART_LSR_OE           0x02    /* receive overrun */
#define   UART_LSR_THRE         0x20    /* transmit holding register empty */
/* The UART's clock: the baud rate is UART_CLOCK_HZ / (16 x divisor). */
#define UART_CLOCK_HZ       12902400

/* W, byte: every polling wait writes 0 here while its condition is unmet. */
#define BOARD_TICK_REG      0x50001B00

/* ---- Flash register block, chip select 1 (8 KB window, 16-bit bus) ------ */

#define FLASH_REG_BASE      0x51000000
#define FLASH_CMD_STATUS    0x000   /* W: command word; R: status word */
#define   FLASH_CMD_QUERY       0x01    /* query n: FLASH_CMD_QUERY | n << 4 */
#define   FLASH_STATUS_BUSY     0x80    /* 1 while a command is running */
                                        /* bits 8-15 V, 16-23 S, 24-31 B */
#define FLASH_CONTROL       0x100   /* W: FLASH_CONTROL_QUERY before each command */
#define   FLASH_CONTROL_QUERY   7

/* ---- SRAM, chip select 2 (256 KB, 8-bit bus), under test ---------------- */

#define SRAM_BASE           0x52000000
#define SRAM_SIZE           0x40000

/* ---- SDRAM at address 0 after the map switch, under test ---------------- */

#define SDRAM_BASE          0x00000000
#define SDRAM_SIZE          0x4000000

/* ---- Expansion bus controller ------------------------------------------- */

#define EXP_CFG_BASE        0xC4000000
#define EXP_TIMING_CS0      0x00    /* RW: chip select 0 timing and size */
#define EXP_TIMING_CS1      0x04    /* RW: chip select 1 */
#define EXP_TIMING_CS2      0x08    /* RW: chip select 2 */
/*   bit 31 enable, bits 25-22 strobe time T3, bits 13-10 size (512 << n),  */
/*   bit 1 write enable, bit 0 data bus 1 = 8-bit, 0 = 16-bit.              */
#define EXP_CNFG0           0xC4000020  /* RW: absolute address, used alone */
#define   EXP_CNFG0_MEM_MAP     0x80000000  /* 1: expansion bus also at 0 */

/* ---- SDRAM controller --------------------------------------------------- */

#define SDRAM_CTRL_BASE     0xCC00E500
#define SDRAM_CMD           0x00    /* W: command code */
#define   SDRAM_CMD_NORMAL      0xF     /* leave the power-up sequence */
#define SDRAM_CONFIG0       0x04    /* RW: configuration register 0 */
#define SDRAM_CONFIG1       0x08    /* RW: configuration register 1 */
#define SDRAM_SETUP0        0x0C    /* RW: set-up, read back once */
#define SDRAM_SETUP1        0x10    /* RW: set-up, read back once */
#define SDRAM_SETUP2        0x14    /* RW: set-up, read back once */
#define SDRAM_REFRESH       0x48    /* RW: refresh interval, 0 = no refresh */

/* ---- SDRAM interface block ---------------------------------------------- */

#define SDRAM_IF_BASE       0xCC00F500
#define SDRAM_IF_INDEXED    0x00    /* W: top byte, index (15-8), data (7-0) */
#define SDRAM_IF_CONTROL    0x04    /* RW: changed for two waits, then restored */
#define SDRAM_IF_50         0x50    /* W: timing words of the second part */
#define SDRAM_IF_54         0x54
#define SDRAM_IF_58         0x58
#define SDRAM_IF_5C         0x5C
#define SDRAM_IF_60         0x60
#define SDRAM_IF_64         0x64
#define SDRAM_IF_68         0x68
#define SDRAM_IF_74         0x74
#define SDRAM_IF_78         0x78    /* W: 0x2D400 six times, then bit 10 cleared */
#define SDRAM_IF_7C         0x7C    /* W: 0x889C five times, then bit 11 cleared */

/* ---- Processor core: CP15 control register ------------------------------ */

#define CP15_CTRL_BIG_ENDIAN 0x80
#define CP15_CTRL_ICACHE    0x1000

#endif

// Bytes of the sound board's verbose reports, as the monitor sends them
// (the benchmark script reads them from here too).
#ifndef KORVA_REPORT_SIZES_H
#define KORVA_REPORT_SIZES_H

#define REPORT_SDRAM_DATA_BYTES 2924     // data-bus part of the SDRAM test
#define REPORT_SDRAM_ADDRESS_BYTES 1092  // address-bus part
#define REPORT_FLASH_BYTES 64
#define REPORT_SRAM_DATA_BYTES 463
#define REPORT_SRAM_ADDRESS_BYTES 701

#endif

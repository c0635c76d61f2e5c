// Flash test: four queries to the flash register block, three fields each.
#ifndef KORVA_FLASH_TEST_H
#define KORVA_FLASH_TEST_H

#include <stdint.h>

// 0 passed; 1, 2 or 3: the last mismatching field was V, S or B.
uint32_t flash_test();

#endif

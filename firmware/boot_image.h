// The board monitor's flat image, embedded at build time.
#ifndef DUDEDOVED_BOOT_IMAGE_H
#define DUDEDOVED_BOOT_IMAGE_H

extern const unsigned int BOOT_IMAGE_SIZE;
extern const unsigned char boot_image[];

#endif

// Flash writing: the image at /var/tmp/fw.bin checked by its tag and
// written to its partition(s); a configuration file goes to the
// configuration partition instead.
#ifndef DORNIX_CGI_FLASH_H
#define DORNIX_CGI_FLASH_H

#include "request.h"

// Checks fw.bin and writes it. Returns a result code.
int do_firmware_upgrade(struct request *req);

// Image kinds of copy_firmware_image.
enum { IMAGE_KERNEL = 1, IMAGE_FILESYSTEM = 2 };

// The writers read the checked file from the open descriptor `source`,
// from its start.
int copy_firmware_image(int source, const char *device, int kind);
int copy_firmware_image_combo(int source);

#endif

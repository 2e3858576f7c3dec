#include "firmware.h"

// Placeholders until flash writing is built: nothing is ever written.
int do_firmware_upgrade(void) { return RESULT_TMP_OPEN; }

int copy_firmware_image(const char *, int) { return RESULT_MTD_OPEN; }

int copy_firmware_image_combo(void) { return RESULT_MTD_OPEN; }

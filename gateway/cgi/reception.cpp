#include "firmware.h"

// Placeholder until reception is built: refuses every upload.
int prepare_firmware_upgrade(void) { return RESULT_TMP_OPEN; }

int preaction_for_upgrade(void) { return 0; }

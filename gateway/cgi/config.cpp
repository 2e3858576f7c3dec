#include "firmware.h"

// Placeholders until configuration transfer is built.
int copy_config_file(void) { return RESULT_CONFIG_OPEN; }

int send_config_file(void) { return RESULT_CONFIG_OPEN; }

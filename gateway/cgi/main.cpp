#include "firmware.h"

int main() { return firmware_main(); }

// eepromfix: checks, and where it can repairs, the EEPROM checksum of a USB printer.
// The tool takes no arguments; the command line is ignored.
#include "driver/run.h"

int main() { return RunEepromfix(); }

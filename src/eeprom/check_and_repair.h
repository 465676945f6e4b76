// The tool's one job: check the printer's EEPROM checksum and repair it where that is safe.
#ifndef EEPROMFIX_EEPROM_CHECK_AND_REPAIR_H
#define EEPROMFIX_EEPROM_CHECK_AND_REPAIR_H

#include "platform/platform.h"

// Reads the EEPROM image and checks its checksum. A wrong checksum on an image that was read
// without fault and looks like this printer's EEPROM is written back corrected, then read back.
// Reports everything on standard output. Returns 1 only when a repair was written and read back
// equal with no failure on the way; 0 otherwise.
int CheckAndRepairEeprom(DeviceHandle device);

#endif  // EEPROMFIX_EEPROM_CHECK_AND_REPAIR_H

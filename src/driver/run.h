// The whole run of the tool, from discovery to exit code.
#ifndef EEPROMFIX_DRIVER_RUN_H
#define EEPROMFIX_DRIVER_RUN_H

// Opens the printer, checks and where possible repairs its EEPROM, closes it. Returns the
// process exit code: 0 after the EEPROM procedure ran, whatever it found; 1 when no printer
// could be opened.
int RunEepromfix();

#endif  // EEPROMFIX_DRIVER_RUN_H

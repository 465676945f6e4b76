// --save FILE: the image exactly as the printer sent it, kept in a new file before anything
// could change the EEPROM.
#ifndef EEPROMFIX_DRIVER_IMAGE_FILE_H
#define EEPROMFIX_DRIVER_IMAGE_FILE_H

#include <cstdint>

#include "platform/platform.h"

// One file being saved, from before the printer is opened to the end of the run.
struct ImageFile {
  const char* path = nullptr;
  SaveFile* pending = nullptr;  // the temporary file, until the image is in or the run ends
  bool saved = false;
};

// Refuses a `path` that exists or a folder that cannot be written, and makes the temporary
// file there; call it before any printer is opened. Returns false after saying why on
// standard error ("eepromfix: cannot save to FILE: ..."). Until EndImageFile, a process that
// ends on its own (a fatal discovery failure) removes the temporary file too.
bool BeginImageFile(ImageFile* file, const char* path);

// The keepImage callback of the EEPROM procedure (`context`: the ImageFile): writes the
// kEepromImageSize bytes, flushed, under the file's name. Says on standard output that it did,
// or why it could not; returns whether the image is saved.
bool KeepImageInFile(const std::uint8_t* image, void* context);

// Ends the file's part in the run: removes a temporary file never filled, saying so when
// `sayNothingSaved` (the run reached the printer but no image came).
void EndImageFile(ImageFile* file, bool sayNothingSaved);

// --restore FILE: reads FILE, before any printer is opened, into `image` (kEepromImageSize
// bytes) and checks it: a regular file of exactly 320 bytes, its stored checksum right, the
// sanity checks passed. Returns false after saying on standard error which check failed
// ("eepromfix: cannot restore from FILE: ...").
bool ReadRestoreImage(const char* path, std::uint8_t* image);

#endif  // EEPROMFIX_DRIVER_IMAGE_FILE_H

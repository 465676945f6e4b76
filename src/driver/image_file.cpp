#include "driver/image_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "eeprom/eeprom_image.h"

namespace {

// The file an exit() during the run must not leave its temporary file behind for.
ImageFile* g_openImageFile = nullptr;

void DiscardAtExit() {
  if (g_openImageFile != nullptr && g_openImageFile->pending != nullptr) {
    PlatformDiscardSave(g_openImageFile->pending);
    g_openImageFile->pending = nullptr;
  }
}

// The system's text for `code` without the line break that some systems end it with.
void ErrorTextLine(std::uint32_t code, char* text, std::uint32_t size) {
  if (!PlatformErrorText(code, text, size)) {
    std::snprintf(text, size, "error %u", static_cast<unsigned>(code));
  }
  std::size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) text[--length] = '\0';
}

}  // namespace

bool BeginImageFile(ImageFile* file, const char* path) {
  *file = ImageFile{};
  file->path = path;
  file->pending = PlatformBeginSave(path);
  if (file->pending == nullptr) {
    char text[256];
    ErrorTextLine(PlatformLastError(), text, sizeof text);
    std::fflush(stdout);
    std::fprintf(stderr, "eepromfix: cannot save to %s: %s\n", path, text);
    return false;
  }
  static bool registered = false;
  if (!registered) registered = std::atexit(DiscardAtExit) == 0;
  g_openImageFile = file;
  return true;
}

bool KeepImageInFile(const std::uint8_t* image, void* context) {
  ImageFile* file = static_cast<ImageFile*>(context);
  SaveFile* pending = file->pending;
  file->pending = nullptr;  // finished or removed, either way
  if (pending != nullptr && PlatformFinishSave(pending, image, kEepromImageSize)) {
    file->saved = true;
    std::printf("EEPROM image saved to %s\n", file->path);
    return true;
  }
  char text[256];
  ErrorTextLine(PlatformLastError(), text, sizeof text);
  std::printf("ERROR: the EEPROM image could not be saved to %s: %s, no action taken\n", file->path, text);
  return false;
}

void EndImageFile(ImageFile* file, bool sayNothingSaved) {
  if (file->pending != nullptr) {
    PlatformDiscardSave(file->pending);
    file->pending = nullptr;
  }
  if (g_openImageFile == file) g_openImageFile = nullptr;
  if (sayNothingSaved && !file->saved) std::printf("Nothing was saved: no image was read, %s was not created\n", file->path);
}

bool ReadRestoreImage(const char* path, std::uint8_t* image) {
  char text[256] = "";
  const char* why = text;
  const EepromImage checked{image};
  const ReadFileResult read = PlatformReadWholeFile(path, image, kEepromImageSize);
  if (read == ReadFileResult::kFailed) {
    ErrorTextLine(PlatformLastError(), text, sizeof text);
  } else if (read == ReadFileResult::kNotRegularFile) {
    why = "not a regular file";
  } else if (read == ReadFileResult::kWrongSize) {
    why = "not 320 bytes long";
  } else if (ComputeImageChecksum(checked) != StoredImageChecksum(checked)) {
    why = "its checksum is wrong";
  } else if (!ImagePassesSanityChecks(checked)) {
    why = "it fails the sanity checks";
  } else {
    return true;
  }
  std::fflush(stdout);
  std::fprintf(stderr, "eepromfix: cannot restore from %s: %s\n", path, why);
  return false;
}

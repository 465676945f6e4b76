#include "eeprom/restore.h"

#include <cstring>

#include "eeprom/eeprom_image.h"
#include "eeprom/exchange.h"
#include "protocol/acl.h"

namespace {

constexpr std::uint32_t kShownRanges = 4;  // then "..."
constexpr int kAnswerSize = 100;

std::uint32_t CountDifferences(const std::uint8_t* a, const std::uint8_t* b) {
  std::uint32_t count = 0;
  for (std::uint32_t i = 0; i < kEepromImageSize; ++i) count += a[i] != b[i] ? 1 : 0;
  return count;
}

// "EEPROM differs from FILE in N bytes, at 0x000-0x001, 0x060-0x063, ...": the first few runs of
// differing bytes, by offset.
void PrintDifferences(const std::uint8_t* held, const RestoreRequest& request) {
  std::printf("EEPROM differs from %s in %u bytes, at", request.path,
              static_cast<unsigned>(CountDifferences(held, request.image)));
  std::uint32_t shown = 0;
  for (std::uint32_t at = 0; at < kEepromImageSize; ++at) {
    if (held[at] == request.image[at]) continue;
    if (shown++ == kShownRanges) {
      std::printf(", ...");
      break;
    }
    std::uint32_t last = at;
    while (last + 1 < kEepromImageSize && held[last + 1] != request.image[last + 1]) ++last;
    std::printf("%s 0x%03x", shown > 1 ? "," : "", static_cast<unsigned>(at));
    if (last != at) std::printf("-0x%03x", static_cast<unsigned>(last));
    at = last;
  }
  std::printf("\n");
}

// Whether the printer's own image is sound, and a warning when a sound image is to go.
void PrintSoundness(EepromImage held) {
  const bool checksumRight = ComputeImageChecksum(held) == StoredImageChecksum(held);
  const bool sane = ImagePassesSanityChecks(held);
  std::printf("EEPROM checksum is %s (stored %04x, computed %04x), the image %s the sanity checks\n",
              checksumRight ? "right" : "wrong", unsigned{StoredImageChecksum(held)},
              unsigned{ComputeImageChecksum(held)}, sane ? "passes" : "fails");
  if (checksumRight && sane) std::printf("WARNING: a sound image is about to be replaced\n");
}

// Asks whether to write; only the answer "yes" (or --yes) goes on. The answer is read as the
// printer index is: a line, so that a piped "yes" works.
bool AnswerIsYes(const RestoreRequest& request) {
  std::printf("Write the image in %s to the printer? Type yes to go on: ", request.path);
  if (request.yes) {
    std::printf("yes (--yes)\n");
    return true;
  }
  std::fflush(stdout);
  char answer[kAnswerSize];
  if (std::fgets(answer, kAnswerSize, request.answers) == nullptr) {
    std::printf("\n");  // end the prompt's line
    return false;
  }
  std::size_t length = std::strlen(answer);
  if (length + 1 == sizeof answer && answer[length - 1] != '\n') {
    // A longer line is no "yes"; the rest of it is no answer to anything else either.
    for (int c = std::fgetc(request.answers); c != '\n' && c != EOF; c = std::fgetc(request.answers)) {
    }
    return false;
  }
  while (length > 0 && (answer[length - 1] == '\n' || answer[length - 1] == '\r')) answer[--length] = '\0';
  return std::strcmp(answer, "yes") == 0;
}

RestoreOutcome NotStarted() {
  std::printf("ERROR: the restore could not be started, no image byte was sent\n");
  return RestoreOutcome::kNotStarted;
}

// Once image bytes went out, or may still, the EEPROM may hold anything between the two images.
RestoreOutcome EndUnverified(bool imageMayHaveGone) {
  if (!imageMayHaveGone) return NotStarted();
  std::printf("ERROR: EEPROM restore could not be verified\n");
  return RestoreOutcome::kUnverified;
}

}  // namespace

RestoreOutcome RestoreEeprom(DeviceHandle device, const RestoreRequest& request) {
  bool ok = true;
  std::uint8_t buffer[kReceiveBufferSize] = {};
  std::printf("Reading EEPROM to compare it with %s...\n", request.path);

  bool imageRead = false;
  if (!ReadWholeImage(device, buffer, ok, &imageRead)) return RestoreOutcome::kUnreadable;
  if (!imageRead) {
    SayNotRead();
    return RestoreOutcome::kUnreadable;
  }
  if (request.keepImage != nullptr && !request.keepImage(buffer, request.context)) return RestoreOutcome::kNotKept;
  if (std::memcmp(buffer, request.image, kEepromImageSize) == 0) {
    std::printf("EEPROM already holds the image in %s, nothing written\n", request.path);
    return RestoreOutcome::kIdentical;
  }
  PrintDifferences(buffer, request);
  PrintSoundness(EepromImage{buffer});
  // No question about a printer that is gone already.
  if (StoppedResponding()) return NotStarted();
  if (!AnswerIsYes(request)) {
    std::printf("Nothing written: the answer was not yes\n");
    return RestoreOutcome::kDeclined;
  }

  std::printf("Restoring EEPROM from %s...\n", request.path);
  std::uint8_t payload[kImagePayloadSize];
  std::memcpy(payload, request.image, kEepromImageSize);
  bool imageMayHaveGone = false;
  switch (WriteImageExchange(device, payload, ok, &imageMayHaveGone)) {
    case ImageWrite::kStopped:
    case ImageWrite::kNotStarted:
      return NotStarted();
    case ImageWrite::kEnded:
      return EndUnverified(imageMayHaveGone);
    case ImageWrite::kAnswered:
      break;
  }
  // The whole image, read back through a full read exchange: more than the checksum changed.
  bool readBack = false;
  if (!ReadWholeImage(device, buffer, ok, &readBack) || !readBack) return EndUnverified(imageMayHaveGone);
  const std::uint32_t differing = CountDifferences(buffer, request.image);
  if (differing != 0) {
    std::printf("ERROR: the EEPROM read back differs from %s in %u bytes\n", request.path,
                static_cast<unsigned>(differing));
    return RestoreOutcome::kDiffers;
  }
  std::printf("EEPROM restored: the image read back equals %s\n", request.path);
  return RestoreOutcome::kRestored;
}

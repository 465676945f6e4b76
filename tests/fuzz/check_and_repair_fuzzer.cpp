// Fuzzes the EEPROM procedure against a printer whose every byte, the chunks they arrive in,
// and the outcome of every write come from the input (see fuzz_platform.h).
//
// On every input, judged from what the device saw rather than from what the tool says:
// - the tool sends nothing but the PJL lines, the three command headers and the image payload;
// - a WriteEEPROM command goes out only after a read exchange that passed every check, for an
//   image with a wrong checksum that passes the sanity checks, and at most once;
// - the image payload is the image read, bytes 0 and 1 replaced by its checksum, then
//   FF FF 00 00, and every payload write asks for exactly the bytes not yet sent;
// - the run ends with the verdict line that the exchanges call for, and "EEPROM Repaired" (and
//   the result 1) only when the printer confirmed the new checksum over exchanges that all
//   went through;
// - no read loop outlasts its bound, and the run's virtual time stays within them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "eeprom/check_and_repair.h"
#include "fuzz_platform.h"
#include "support/simulated_printer.h"

namespace {

constexpr std::uint32_t kHeaderSize = 16;
constexpr std::uint32_t kImageSize = 320;
constexpr std::uint32_t kPayloadSize = 324;
constexpr std::uint32_t kReadLoopsPerRun = 5;  // three response headers, two payloads
constexpr std::uint32_t kMostWrites = 11 + kPayloadSize;

// Where each answer lies in the printer's stream when every exchange goes through.
constexpr std::uint32_t kImageAt = kHeaderSize;                         // 16
constexpr std::uint32_t kWriteHeaderAt = kImageAt + kPayloadSize;       // 340
constexpr std::uint32_t kVerifyHeaderAt = kWriteHeaderAt + kHeaderSize;  // 356
constexpr std::uint32_t kVerifyDataAt = kVerifyHeaderAt + kHeaderSize;   // 372
constexpr std::uint32_t kRepairStreamSize = kVerifyDataAt + 6;          // 378

constexpr std::uint16_t kReadEeprom = 0x0003;
constexpr std::uint16_t kWriteEeprom = 0xEC0D;

const std::uint8_t kUel[] = {0x1B, '%', '-', '1', '2', '3', '4', '5', 'X'};
const char kEnterLanguage[] = "@PJL ENTER LANGUAGE=ACL\r\n";
const char kManufacturer[25] = "Quorvane-Delsit";

const char kChecking[] = "Checking CRC in EEPROM...\n";
const char kRepairing[] = "Repairing CRC in EEPROM...\n";
const char kUnread[] = "EEPROM could not be read, no action taken\n";
const char kCorrect[] = "EEPROM Checksum was already correct, no action taken\n";
const char kImplausible[] = "EEPROM Sanity Checks fail, no action taken\n";
const char kRepaired[] = "EEPROM Repaired\n\n";
const char kUnverified[] = "ERROR: EEPROM repair could not be verified\n\n";
const char kMismatchStart[] = "ERROR: failed to repair EEPROM checksum: Should be: ";
const char kNoReadAnswer[] = "ERROR: failed to receive ReadEEPROM response. Read 0 bytes, should be: 16.\n";
const char kNoWriteAnswer[] = "ERROR: failed to receive WriteEEPROM response. Read 0 bytes, should be: 16.\n";

enum class Sent { kUel, kEnterLanguage, kReadImage, kReadChecksum, kWriteImage, kOther };

std::uint16_t Load16(const std::uint8_t* at) { return static_cast<std::uint16_t>((at[0] << 8) | at[1]); }

std::uint32_t Load32(const std::uint8_t* at) {
  return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) | at[3];
}

const std::uint8_t* BytesOf(const FuzzWrite& call) { return g_fuzzLog.attempted + call.bytesAt; }

bool IsCommand(const FuzzWrite& call, std::uint16_t cmdID, std::uint32_t length, std::uint32_t readLength) {
  if (call.len != kHeaderSize) return false;
  const std::uint8_t* b = BytesOf(call);
  return Load16(b) == 0x00AC && Load16(b + 2) == cmdID && Load32(b + 4) == length &&
         Load32(b + 8) == readLength && Load32(b + 12) == 0;
}

Sent Classify(const FuzzWrite& call) {
  if (call.len == sizeof kUel && std::memcmp(BytesOf(call), kUel, sizeof kUel) == 0) return Sent::kUel;
  if (call.len == sizeof kEnterLanguage - 1 &&
      std::memcmp(BytesOf(call), kEnterLanguage, sizeof kEnterLanguage - 1) == 0) {
    return Sent::kEnterLanguage;
  }
  if (IsCommand(call, kReadEeprom, 0, kImageSize)) return Sent::kReadImage;
  if (IsCommand(call, kReadEeprom, 0, 2)) return Sent::kReadChecksum;
  if (IsCommand(call, kWriteEeprom, kPayloadSize, 0)) return Sent::kWriteImage;
  return Sent::kOther;
}

// A response header with the right prefix, command and status, and, unless `length` is
// negative, that length.
bool GoodHeader(std::uint32_t at, std::uint16_t cmdID, long length) {
  if (g_fuzzLog.deliveredCount < at + kHeaderSize) return false;
  const std::uint8_t* h = g_fuzzLog.delivered + at;
  return Load16(h) == 0x00AC && Load16(h + 2) == cmdID && Load16(h + 4) == 0x0001 &&
         (length < 0 || Load32(h + 6) == static_cast<std::uint32_t>(length));
}

// Data followed by its transmission checksum, as the printer must send it.
bool GoodPayload(std::uint32_t at, std::uint32_t dataSize) {
  if (g_fuzzLog.deliveredCount < at + dataSize + 4) return false;
  const std::uint8_t* data = g_fuzzLog.delivered + at;
  return Load32(data + dataSize) == ReferenceChecksum(data, dataSize);
}

bool EndsWith(const char* text, std::size_t size, const char* tail) {
  const std::size_t n = std::strlen(tail);
  return size >= n && std::memcmp(text + size - n, tail, n) == 0;
}

// The last line of the output, or the last two when the last one is empty.
bool EndsWithMismatch(const char* text, std::size_t size) {
  if (!EndsWith(text, size, "\n\n")) return false;
  std::size_t start = size - 2;
  while (start > 0 && text[start - 1] != '\n') --start;
  return std::strncmp(text + start, kMismatchStart, sizeof kMismatchStart - 1) == 0;
}

void CheckRun(int result, const char* out, std::size_t outSize) {
  const FuzzDeviceLog& log = g_fuzzLog;

  // --- What was sent ------------------------------------------------------------------------
  if (log.writeCount < 3) FuzzFail("only %u writes: the read exchange was not sent whole", log.writeCount);
  if (Classify(log.writes[0]) != Sent::kUel || Classify(log.writes[1]) != Sent::kEnterLanguage ||
      Classify(log.writes[2]) != Sent::kReadImage) {
    FuzzFail("the run does not start with UEL, ENTER LANGUAGE and ReadEEPROM for 320 bytes");
  }
  if (log.writeCount > kMostWrites) FuzzFail("%u writes", log.writeCount);

  std::uint32_t writeCommand = 0;  // index of the WriteEEPROM header; 0: none
  bool allWhole = true;
  for (std::uint32_t i = 0; i < log.writeCount; ++i) {
    const FuzzWrite& call = log.writes[i];
    const Sent sent = Classify(call);
    if (sent == Sent::kWriteImage) {
      if (writeCommand != 0) FuzzFail("a second WriteEEPROM command (write %u)", i);
      writeCommand = i;
    }
    const bool payload = writeCommand != 0 && i > writeCommand && call.pausesBefore == log.writes[writeCommand].pausesBefore;
    if (sent == Sent::kOther && !payload) FuzzFail("write %u sends %u bytes of no known kind", i, call.len);
    // The payload may go out in pieces; everything else has to go out in one write.
    if (!payload && call.count != call.len) allWhole = false;
  }

  // --- The read exchange, judged from the bytes alone --------------------------------------
  const bool exchangeClean = log.writeCount > 3 && log.writes[0].count == log.writes[0].len &&
                             log.writes[1].count == log.writes[1].len && log.writes[2].count == log.writes[2].len &&
                             log.writes[3].deliveredBefore >= kWriteHeaderAt && log.writes[3].giveUpsBefore == 0 &&
                             GoodHeader(0, kReadEeprom, kPayloadSize) && GoodPayload(kImageAt, kImageSize);
  const std::uint8_t* image = log.delivered + kImageAt;
  const std::uint16_t checksum =
      static_cast<std::uint16_t>(ReferenceChecksum(image + 2, kImageSize - 2));
  const bool checksumRight = exchangeClean && Load16(image) == checksum;
  const bool plausible = exchangeClean && image[0x1C] == 0x03 && image[0x1D] == 0xF0 &&
                         std::memcmp(image + 0x33, kManufacturer, sizeof kManufacturer) == 0;
  const bool mayRepair = exchangeClean && !checksumRight && plausible;

  if (writeCommand != 0 && !mayRepair) {
    if (!exchangeClean) FuzzFail("WriteEEPROM sent after a read exchange that did not pass every check");
    if (checksumRight) FuzzFail("WriteEEPROM sent for an image whose checksum is right");
    FuzzFail("WriteEEPROM sent for an image that fails the sanity checks");
  }

  // --- The image payload --------------------------------------------------------------------
  std::uint8_t expected[kPayloadSize];
  std::memcpy(expected, image, kImageSize);
  expected[0] = static_cast<std::uint8_t>(checksum >> 8);
  expected[1] = static_cast<std::uint8_t>(checksum);
  expected[320] = 0xFF;
  expected[321] = 0xFF;
  expected[322] = 0x00;
  expected[323] = 0x00;
  if (writeCommand != 0) {
    if (ReferenceChecksum(expected, kImageSize) != 0xFFFF0000u) FuzzFail("the oracle's own image does not add up");
    std::uint32_t sent = 0;
    bool ended = false;
    for (std::uint32_t i = writeCommand + 1; i < log.writeCount; ++i) {
      const FuzzWrite& call = log.writes[i];
      if (call.pausesBefore != log.writes[writeCommand].pausesBefore) break;
      if (ended) FuzzFail("payload write %u after the payload was over", i);
      if (call.len != kPayloadSize - sent) FuzzFail("payload write of %u bytes after %u sent", call.len, sent);
      if (std::memcmp(BytesOf(call), expected + sent, call.len) != 0) {
        FuzzFail("the image payload differs from the image read (from byte %u on)", sent);
      }
      sent += call.count;
      ended = call.count == 0 || sent >= kPayloadSize;
    }
    if (!ended) FuzzFail("the image payload stopped after %u bytes with no write refused", sent);
    if (sent < kPayloadSize) allWhole = false;
  }

  // --- The verdict ----------------------------------------------------------------------------
  if (outSize < sizeof kChecking - 1 || std::memcmp(out, kChecking, sizeof kChecking - 1) != 0) {
    FuzzFail("the output does not start with the checking line");
  }
  const bool repairing = std::strstr(out, kRepairing) != nullptr;
  if (repairing != (writeCommand != 0)) FuzzFail("the repairing line and the WriteEEPROM command disagree");
  if (repairing != mayRepair) FuzzFail("an image that should be repaired was not (or the reverse)");

  const bool noAnswer = EndsWith(out, outSize, kNoReadAnswer) || EndsWith(out, outSize, kNoWriteAnswer);
  const bool unread = EndsWith(out, outSize, kUnread);
  const bool correct = EndsWith(out, outSize, kCorrect);
  const bool implausible = EndsWith(out, outSize, kImplausible);
  const bool repaired = EndsWith(out, outSize, kRepaired);
  const bool unverified = EndsWith(out, outSize, kUnverified);
  const bool mismatch = EndsWithMismatch(out, outSize);
  if (!(noAnswer || unread || correct || implausible || repaired || unverified || mismatch)) {
    FuzzFail("the run ends without a verdict line");
  }
  if (noAnswer && log.giveUps == 0) FuzzFail("no answer reported, yet no read loop gave up");
  if (log.writeCount > 3 && unread != !exchangeClean) FuzzFail("'could not be read' disagrees with the read exchange");
  if (correct != (exchangeClean && checksumRight)) FuzzFail("'already correct' disagrees with the image read");
  if (implausible != (exchangeClean && !checksumRight && !plausible)) {
    FuzzFail("'Sanity Checks fail' disagrees with the image read");
  }

  const bool confirmed = mayRepair && allWhole && log.giveUps == 0 && log.deliveredCount >= kRepairStreamSize &&
                         GoodHeader(kWriteHeaderAt, kWriteEeprom, -1) && GoodHeader(kVerifyHeaderAt, kReadEeprom, 6) &&
                         GoodPayload(kVerifyDataAt, 2) && log.delivered[kVerifyDataAt] == expected[0] &&
                         log.delivered[kVerifyDataAt + 1] == expected[1];
  if (repaired && !confirmed) FuzzFail("'EEPROM Repaired' without the printer confirming the new checksum");
  if (confirmed && !repaired) FuzzFail("a repair that the printer confirmed is not reported as such");
  if ((result == 1) != repaired) FuzzFail("result %d with the verdict it has", result);

  // --- Bounds ----------------------------------------------------------------------------------
  // Every read call ends in a pause. Those that brought bytes brought at least one each; those
  // that brought nothing come in runs of at most 30, each ended by one that brought bytes or
  // by the end of one of the run's read loops.
  const std::uint32_t fullReads = log.sleeps - log.emptyReads;
  if (log.emptyReads > log.sleeps) FuzzFail("%u empty read calls but only %u pauses", log.emptyReads, log.sleeps);
  if (log.giveUps > kReadLoopsPerRun) FuzzFail("%u read loops gave up", log.giveUps);
  if (fullReads > log.deliveredCount) FuzzFail("%u read calls brought bytes, of %u delivered", fullReads, log.deliveredCount);
  if (log.emptyReads > kFuzzMaxEmptyRun * (fullReads + kReadLoopsPerRun)) {
    FuzzFail("%u empty read calls against %u that brought bytes", log.emptyReads, fullReads);
  }
  if (log.clockMs != 1000ull * log.sleeps) FuzzFail("the clock moved by other than the pauses");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzCaptureInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzDeviceStart(data, size);
  FuzzCaptureBegin();
  const int result = CheckAndRepairEeprom(kFuzzHandle);
  std::size_t outSize = 0;
  const char* out = FuzzCaptureEnd(&outSize);
  FuzzShow(out);
  CheckRun(result, out, outSize);
  return 0;
}

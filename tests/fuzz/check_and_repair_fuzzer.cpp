// Fuzzes the EEPROM procedure against a printer whose every byte, the chunks they arrive in,
// and the outcome of every device call come from the input (a script of the fake platform).
//
// On every input, judged from what the device saw rather than from what the tool says:
// - the tool sends nothing but the PJL lines, the three command headers and the image payload;
// - a WriteEEPROM command goes out only after a read exchange that passed every check, for an
//   image with a wrong checksum that passes the sanity checks, and at most once;
// - nothing of the WriteEEPROM command follows a UEL, ENTER LANGUAGE or WriteEEPROM header of
//   its exchange that did not go out whole, but the closing UEL;
// - no image byte follows an image write that failed;
// - the image payload is the image read, bytes 0 and 1 replaced by its checksum, then
//   FF FF 00 00, and every payload write asks for exactly the bytes not yet sent;
// - the run ends with the verdict line that the exchanges call for, and "EEPROM Repaired" only
//   when the printer confirmed the new checksum over exchanges that all went through; once image
//   bytes went out, it ends with a verdict on the repair;
// - once a call fails because the printer is gone (unplugged, or a write timed out), no call
//   touches the device again, no repair starts, and the run ends at the next point;
// - no read loop outlasts its bound, and the run's virtual time moves only by the pauses, the
//   waits of reads that found nothing and the time-outs of writes.
// The same input then runs with checkOnly, which must send nothing but the read exchange (no
// byte of a WriteEEPROM command, ever) and give the verdict that the image read calls for; then
// as a restore of a FILE (answered as the input's size says): see CheckRestoreRun.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "eeprom/check_and_repair.h"
#include "eeprom/restore.h"
#include "fuzz_capture.h"
#include "protocol/byte_order.h"
#include "support/fake_platform.h"

namespace {

constexpr std::uint32_t kHeaderSize = 16;
constexpr std::uint32_t kImageSize = 320;
constexpr std::uint32_t kPayloadSize = 324;
constexpr std::uint32_t kMostWrites = 11 + kPayloadSize;
// A silent printer ends the run within 35 s of its last byte.
constexpr std::uint64_t kLongestSilenceMs = 35000;

// Where each answer lies in the printer's stream when every exchange goes through.
constexpr std::uint32_t kImageAt = kHeaderSize;                          // 16
constexpr std::uint32_t kWriteHeaderAt = kImageAt + kPayloadSize;        // 340
constexpr std::uint32_t kVerifyHeaderAt = kWriteHeaderAt + kHeaderSize;  // 356
constexpr std::uint32_t kVerifyDataAt = kVerifyHeaderAt + kHeaderSize;   // 372
constexpr std::uint32_t kRepairStreamSize = kVerifyDataAt + 6;           // 378

constexpr std::uint16_t kReadEeprom = 0x0003;
constexpr std::uint16_t kWriteEeprom = 0xEC0D;
const char kManufacturer[25] = "Quorvane-Delsit";

const char kChecking[] = "Checking CRC in EEPROM...\n";
const char kRepairing[] = "Repairing CRC in EEPROM...\n";
const char kUnread[] = "EEPROM could not be read, no action taken\n";
const char kCorrect[] = "EEPROM Checksum was already correct, no action taken\n";
const char kImplausible[] = "EEPROM Sanity Checks fail, no action taken\n";
const char kRepaired[] = "EEPROM Repaired\n\n";
const char kUnverified[] = "ERROR: EEPROM repair could not be verified\n\n";
const char kNotStarted[] = "ERROR: the repair could not be started, the image was not sent\n";
const char kMismatchStart[] = "ERROR: failed to repair EEPROM checksum: Should be: ";
const char kNoAnswerStart[] = "ERROR: failed to receive ";  // ... response. Read N bytes, should be: 16.
const char kNoAnswerEnd[] = " bytes, should be: 16.\n";
const char kStopped[] = "ERROR: the printer stopped responding, no further action taken\n";

enum class Sent { kUel, kEnterLanguage, kReadImage, kReadChecksum, kWriteImage, kOther };

// One write of the run, with what the log tells about it.
struct Write {
  Sent sent;             // what the tool asked to send
  bool whole;            // every byte of it went out
  bool ok;               // the call reported success
  const std::uint8_t* bytes;
  std::uint32_t asked;
  std::uint32_t count;   // bytes that went out
  std::uint32_t pausesBefore;
  std::size_t deliveredBefore;
};

// A whole command header as the printer's parser reads it, its reserved field 0.
bool IsCommand(const std::uint8_t* b, std::uint32_t len, std::uint16_t cmdID, std::uint32_t length,
               std::uint32_t readLength) {
  if (len != kHeaderSize) return false;
  const AclCommand command = AclCommandAt(b);
  return command.prefix == 0x00AC && command.cmdID == cmdID && command.length == length &&
         command.readLength == readLength && LoadBigEndian32(b + 12) == 0;
}

Sent Classify(const std::uint8_t* b, std::uint32_t len) {
  if (len == kUelSize && std::memcmp(b, kUelBytes, kUelSize) == 0) return Sent::kUel;
  if (len == kEnterLanguageSize && std::memcmp(b, kEnterLanguageBytes, kEnterLanguageSize) == 0) {
    return Sent::kEnterLanguage;
  }
  if (IsCommand(b, len, kReadEeprom, 0, kImageSize)) return Sent::kReadImage;
  if (IsCommand(b, len, kReadEeprom, 0, 2)) return Sent::kReadChecksum;
  if (IsCommand(b, len, kWriteEeprom, kPayloadSize, 0)) return Sent::kWriteImage;
  return Sent::kOther;
}

// The writes of the run, from the fake's log.
std::vector<Write> Writes() {
  std::vector<Write> writes;
  std::uint32_t pauses = 0;
  std::size_t delivered = 0;
  for (const FakeCall& call : g_fake.calls) {
    if (call.kind == FakeCall::kSleep) ++pauses;
    if (call.kind == FakeCall::kRead) delivered += call.value;
    if (call.kind != FakeCall::kWrite) continue;
    const std::uint8_t* bytes = g_fake.written.data() + call.bytesAt;
    writes.push_back(Write{Classify(bytes, call.asked), call.value == call.asked, call.ok, bytes, call.asked,
                           call.value, pauses, delivered});
  }
  return writes;
}

// A response header with the right prefix, command and status, and, unless `length` is
// negative, that length.
bool GoodHeader(std::uint32_t at, std::uint16_t cmdID, long length) {
  if (g_fake.delivered.size() < at + kHeaderSize) return false;
  const std::uint8_t* h = g_fake.delivered.data() + at;
  return LoadBigEndian16(h) == 0x00AC && LoadBigEndian16(h + 2) == cmdID && LoadBigEndian16(h + 4) == 0x0001 &&
         (length < 0 || LoadBigEndian32(h + 6) == static_cast<std::uint32_t>(length));
}

// Data followed by its transmission checksum, as the printer must send it.
bool GoodPayload(std::uint32_t at, std::uint32_t dataSize) {
  if (g_fake.delivered.size() < at + dataSize + 4) return false;
  const std::uint8_t* data = g_fake.delivered.data() + at;
  return LoadBigEndian32(data + dataSize) == ReferenceChecksum(data, dataSize);
}

// The read exchange went out whole, and its answer, read in full before its closing UEL, passed
// every check: judged from the bytes alone.
bool ReadExchangeClean(const std::vector<Write>& writes) {
  return writes.size() > 3 && writes[0].whole && writes[1].whole && writes[2].whole &&
         writes[3].deliveredBefore >= kWriteHeaderAt && GoodHeader(0, kReadEeprom, kPayloadSize) &&
         GoodPayload(kImageAt, kImageSize);
}

bool EndsWith(const char* text, std::size_t size, const char* tail) {
  const std::size_t n = std::strlen(tail);
  return size >= n && std::memcmp(text + size - n, tail, n) == 0;
}

// Whether the last line of the output (the last two when the last one is empty) starts with
// `start` and ends with `end`.
bool LastLineIs(const char* text, std::size_t size, const char* start, const char* end) {
  if (!EndsWith(text, size, end)) return false;
  std::size_t at = size - std::strlen(end);
  while (at > 0 && text[at - 1] != '\n') --at;
  return std::strncmp(text + at, start, std::strlen(start)) == 0;
}

// Where the printer went away: the first call that failed with a code that says so.
struct Gone {
  bool gone = false;
  std::size_t writesBefore = 0;  // writes made before it (the failing write not counted)
  std::size_t callsAfter = 0;    // reads and writes made after it
};

Gone FindGone() {
  Gone g;
  for (const FakeCall& call : g_fake.calls) {
    if (call.kind != FakeCall::kWrite && call.kind != FakeCall::kRead) continue;
    if (g.gone) {
      ++g.callsAfter;
      continue;
    }
    if (!call.ok && PlatformDeviceGone(call.code)) {
      g.gone = true;
    } else if (call.kind == FakeCall::kWrite) {
      ++g.writesBefore;
    }
  }
  return g;
}

void CheckRun(int result, const char* out, std::size_t outSize) {
  const std::vector<Write> writes = Writes();
  const std::size_t n = writes.size();
  const Gone gone = FindGone();
  if (gone.callsAfter != 0) FuzzFail("%zu device calls after the printer was gone", gone.callsAfter);
  // Gone before the write exchange began (its UEL is write 4): no repair may start.
  const bool goneBeforeRepair = gone.gone && gone.writesBefore < 4;

  // --- What was sent ------------------------------------------------------------------------
  if (n < 3 && !gone.gone) FuzzFail("only %zu writes: the read exchange was not sent whole", n);
  if ((n > 0 && writes[0].sent != Sent::kUel) || (n > 1 && writes[1].sent != Sent::kEnterLanguage) ||
      (n > 2 && writes[2].sent != Sent::kReadImage)) {
    FuzzFail("the run does not start with UEL, ENTER LANGUAGE and ReadEEPROM for 320 bytes");
  }
  if (n > kMostWrites) FuzzFail("%zu writes", n);

  std::size_t writeCommand = 0;  // index of the WriteEEPROM header; 0: none
  std::size_t payloadEnd = 0;    // first write after the image payload
  bool allWhole = true;
  for (std::size_t i = 0; i < n; ++i) {
    if (writes[i].sent == Sent::kWriteImage) {
      if (writeCommand != 0) FuzzFail("a second WriteEEPROM command (write %zu)", i);
      if (i < 2 || writes[i - 2].sent != Sent::kUel || writes[i - 1].sent != Sent::kEnterLanguage) {
        FuzzFail("WriteEEPROM without UEL and ENTER LANGUAGE just before it");
      }
      writeCommand = i;
      payloadEnd = i + 1;
      // The payload: the writes of the same exchange that are no known element.
      while (payloadEnd < n && writes[payloadEnd].pausesBefore == writes[i].pausesBefore &&
             writes[payloadEnd].sent == Sent::kOther) {
        ++payloadEnd;
      }
    }
    const bool payload = writeCommand != 0 && i > writeCommand && i < payloadEnd;
    if (writes[i].sent == Sent::kOther && !payload) FuzzFail("write %zu sends %u bytes of no known kind", i, writes[i].asked);
    // The verify exchange's closing UEL plays no part in the verdict.
    const bool closingUel = writeCommand != 0 && i == payloadEnd + 3;
    if (!payload && !closingUel && !writes[i].whole) allWhole = false;
  }
  // The WriteEEPROM command: UEL, ENTER LANGUAGE and header from write 4 on, each sent only
  // after the one before went out whole; after one that did not, only the closing UEL.
  const Sent kCommandSteps[] = {Sent::kUel, Sent::kEnterLanguage, Sent::kWriteImage};
  bool stepsWhole = n > 4;
  for (std::size_t step = 0; step < 3 && stepsWhole && 4 + step < n; ++step) {
    const Write& w = writes[4 + step];
    if (w.sent != kCommandSteps[step]) FuzzFail("write %zu is not the WriteEEPROM command's step %zu", 4 + step, step);
    if (w.whole) continue;
    stepsWhole = false;
    const std::size_t next = 5 + step;
    if (next < n && (writes[next].sent != Sent::kUel || next + 1 != n)) {
      FuzzFail("write %zu follows a WriteEEPROM command step that did not go out whole", next);
    }
  }
  if (n < 7) stepsWhole = false;

  // --- The read exchange, judged from the bytes alone --------------------------------------
  const bool exchangeClean = ReadExchangeClean(writes);
  const std::uint8_t* image = exchangeClean ? g_fake.delivered.data() + kImageAt : nullptr;
  const std::uint16_t checksum =
      exchangeClean ? static_cast<std::uint16_t>(ReferenceChecksum(image + 2, kImageSize - 2)) : 0;
  const bool checksumRight = exchangeClean && LoadBigEndian16(image) == checksum;
  const bool plausible = exchangeClean && image[0x1C] == 0x03 && image[0x1D] == 0xF0 &&
                         std::memcmp(image + 0x33, kManufacturer, sizeof kManufacturer) == 0;
  const bool mayRepair = exchangeClean && !checksumRight && plausible;

  if (writeCommand != 0 && !mayRepair) {
    if (!exchangeClean) FuzzFail("WriteEEPROM sent after a read exchange that did not pass every check");
    if (checksumRight) FuzzFail("WriteEEPROM sent for an image whose checksum is right");
    FuzzFail("WriteEEPROM sent for an image that fails the sanity checks");
  }

  // --- The image payload --------------------------------------------------------------------
  std::uint8_t expected[kPayloadSize] = {};
  if (exchangeClean) std::memcpy(expected, image, kImageSize);
  StoreBigEndian16(expected, checksum);
  StoreBigEndian32(expected + kImageSize, 0xFFFF0000u);
  bool started = false;
  std::uint32_t sent = 0;
  if (writeCommand != 0 && payloadEnd > writeCommand + 1) {
    started = true;
    for (std::size_t i = writeCommand + 1; i < payloadEnd; ++i) {
      const Write& w = writes[i];
      if (sent >= kPayloadSize) FuzzFail("payload write %zu after the payload was over", i);
      if (w.asked != kPayloadSize - sent) FuzzFail("payload write of %u bytes after %u sent", w.asked, sent);
      if (std::memcmp(w.bytes, expected + sent, w.count) != 0) {
        FuzzFail("the image payload differs from the image read (from byte %u on)", sent);
      }
      sent += w.count;
      if ((w.count == 0 || !w.ok) && i + 1 < payloadEnd) FuzzFail("payload write %zu after one that failed", i + 1);
    }
    if (sent < kPayloadSize && writes[payloadEnd - 1].count != 0 && writes[payloadEnd - 1].ok && !gone.gone) {
      FuzzFail("the image payload stopped after %u bytes with no write refused", sent);
    }
    if (sent < kPayloadSize) allWhole = false;
  }

  // --- The verdict ----------------------------------------------------------------------------
  if (outSize < sizeof kChecking - 1 || std::memcmp(out, kChecking, sizeof kChecking - 1) != 0) {
    FuzzFail("the output does not start with the checking line");
  }
  const bool repairing = std::strstr(out, kRepairing) != nullptr;
  if (repairing && goneBeforeRepair) FuzzFail("'Repairing' after the printer was gone");
  if (repairing != (n > 4) && !gone.gone) FuzzFail("the repairing line and the WriteEEPROM command disagree");
  if (repairing != (mayRepair && !goneBeforeRepair)) FuzzFail("an image that should be repaired was not (or the reverse)");
  if (std::strstr(out, kStopped) != nullptr && !gone.gone) FuzzFail("'stopped responding' while the printer was there");
  const bool stopped = EndsWith(out, outSize, kStopped);

  const bool noAnswer = LastLineIs(out, outSize, kNoAnswerStart, kNoAnswerEnd);
  const bool unread = EndsWith(out, outSize, kUnread);
  const bool correct = EndsWith(out, outSize, kCorrect);
  const bool implausible = EndsWith(out, outSize, kImplausible);
  const bool notStarted = EndsWith(out, outSize, kNotStarted);
  const bool repaired = EndsWith(out, outSize, kRepaired);
  const bool unverified = EndsWith(out, outSize, kUnverified);
  const bool mismatch = LastLineIs(out, outSize, kMismatchStart, "\n\n");
  if (!(noAnswer || unread || correct || implausible || notStarted || repaired || unverified || mismatch || stopped)) {
    FuzzFail("the run ends without a verdict line");
  }
  // A verdict on the image needs the read exchange to have ended with its printer still there.
  const bool readExchangeEnded = n > 3 && !(gone.gone && gone.writesBefore < 3);
  if (readExchangeEnded && !stopped && unread != !exchangeClean) {
    FuzzFail("'could not be read' disagrees with the read exchange");
  }
  if (readExchangeEnded && !stopped && correct != (exchangeClean && checksumRight)) {
    FuzzFail("'already correct' disagrees with the image read");
  }
  if (readExchangeEnded && !stopped && implausible != (exchangeClean && !checksumRight && !plausible)) {
    FuzzFail("'Sanity Checks fail' disagrees with the image read");
  }
  if (notStarted && !(n > 4 && !stepsWhole)) FuzzFail("'could not be started' disagrees with what was sent");
  if (!gone.gone && notStarted != (n > 4 && !stepsWhole)) FuzzFail("a repair not started, not said so");
  if (sent != 0 && !(repaired || unverified || mismatch)) FuzzFail("image bytes went out, and the run ends without a verdict on them");

  const bool confirmed = mayRepair && started && allWhole && g_fake.delivered.size() >= kRepairStreamSize &&
                         GoodHeader(kWriteHeaderAt, kWriteEeprom, -1) && GoodHeader(kVerifyHeaderAt, kReadEeprom, 6) &&
                         GoodPayload(kVerifyDataAt, 2) && g_fake.delivered[kVerifyDataAt] == expected[0] &&
                         g_fake.delivered[kVerifyDataAt + 1] == expected[1] &&
                         payloadEnd + 3 < n && writes[payloadEnd].deliveredBefore >= kVerifyHeaderAt &&
                         writes[payloadEnd + 3].deliveredBefore >= kRepairStreamSize;
  if (repaired && !confirmed) FuzzFail("'EEPROM Repaired' without the printer confirming the new checksum");
  if (confirmed && !repaired) FuzzFail("a repair that the printer confirmed is not reported as such");
  if (result == 1 && !(repaired && writes[n - 1].whole)) FuzzFail("result 1 with the verdict it has");

  // --- Bounds ----------------------------------------------------------------------------------
  // Between a write or a read that brought bytes and the next call, the tool gives up within
  // its bound; a write that times out is the last call.
  std::uint64_t progressMs = 0;
  std::uint64_t spent = 0;
  for (const FakeCall& call : g_fake.calls) {
    if (call.kind == FakeCall::kSleep) {
      if (call.value != 1000) FuzzFail("a pause of %u ms, not the read pacing", call.value);
      spent += call.value;
      continue;
    }
    if (call.kind == FakeCall::kRead && call.ok && call.value == 0) spent += kReadWaitMs;
    if (call.kind == FakeCall::kWrite && call.code == kFakeTimedOut) spent += kWriteTimeoutMs;
    if (call.atMs - progressMs > kLongestSilenceMs) {
      FuzzFail("a read loop went on %llu ms after the last byte", static_cast<unsigned long long>(call.atMs - progressMs));
    }
    if (call.kind == FakeCall::kWrite || (call.kind == FakeCall::kRead && call.value != 0)) progressMs = call.atMs;
  }
  if (g_fake.clockMs - progressMs > kLongestSilenceMs + kWriteTimeoutMs) {
    FuzzFail("the run went on too long after the last byte");
  }
  if (g_fake.clockMs != spent) FuzzFail("the clock moved by other than the pauses, waits and time-outs");
  if (!g_fake.misuse.empty()) FuzzFail("the seam was misused: %s", g_fake.misuse.c_str());
}

// A run with checkOnly: the read exchange and its closing UEL, nothing else, and the verdict.
void CheckCheckOnlyRun(int result, EepromVerdict verdict, const char* out, std::size_t outSize) {
  const std::vector<Write> writes = Writes();
  const std::size_t n = writes.size();
  const Sent kReadExchange[] = {Sent::kUel, Sent::kEnterLanguage, Sent::kReadImage, Sent::kUel};
  if (n > 4) FuzzFail("%zu writes with checkOnly: more than the read exchange", n);
  for (std::size_t i = 0; i < n; ++i) {
    if (writes[i].sent != kReadExchange[i]) FuzzFail("checkOnly write %zu is not the read exchange's", i);
  }
  if (result != 0) FuzzFail("checkOnly returned %d", result);
  const bool exchangeClean = ReadExchangeClean(writes);
  // An exchange that got as far as its closing UEL (sent, or failed on its own) with a whole
  // image has its verdict; any other has none.
  if (!exchangeClean) {
    if (verdict != EepromVerdict::kUnreadable) FuzzFail("a verdict on an image that was not read whole");
    return;
  }
  const std::uint8_t* image = g_fake.delivered.data() + kImageAt;
  const std::uint16_t checksum = static_cast<std::uint16_t>(ReferenceChecksum(image + 2, kImageSize - 2));
  const bool plausible = image[0x1C] == 0x03 && image[0x1D] == 0xF0 &&
                         std::memcmp(image + 0x33, kManufacturer, sizeof kManufacturer) == 0;
  const EepromVerdict expected = LoadBigEndian16(image) == checksum ? EepromVerdict::kCorrect
                                 : plausible                        ? EepromVerdict::kRepairable
                                                                    : EepromVerdict::kImplausible;
  if (verdict != expected) FuzzFail("checkOnly verdict %d, the image calls for %d", static_cast<int>(verdict),
                                    static_cast<int>(expected));
  if (expected == EepromVerdict::kRepairable && !LastLineIs(out, outSize, "EEPROM Checksum is wrong: stored ",
                                                            "; run eepromfix without --check to repair it\n")) {
    FuzzFail("a repairable image without the line that says how to repair it");
  }
}

// A restore of `file`: the only payload is FILE's image then FF FF 00 00, each write asking for
// the bytes not yet sent, after one WriteEEPROM header at most, only after yes and only over a
// read exchange that passed every check and brought another image.
void CheckRestoreRun(bool yes, const std::uint8_t* file) {
  const std::vector<Write> writes = Writes();
  std::uint8_t expected[kPayloadSize];
  std::memcpy(expected, file, kImageSize);
  StoreBigEndian32(expected + kImageSize, 0xFFFF0000u);
  std::size_t commands = 0;
  std::uint32_t sent = 0;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    const Write& w = writes[i];
    commands += w.sent == Sent::kWriteImage ? 1 : 0;
    if (w.sent != Sent::kOther) continue;
    if (commands == 0) FuzzFail("write %zu sends %u bytes of no known kind", i, w.asked);
    if (w.asked != kPayloadSize - sent || std::memcmp(w.bytes, expected + sent, w.asked) != 0) {
      FuzzFail("a WriteEEPROM payload other than FILE's image and FF FF 00 00 (from byte %u on)", sent);
    }
    sent += w.count;
  }
  if (commands > (yes ? 1u : 0u)) FuzzFail("%zu WriteEEPROM commands in a restore (answered yes: %d)", commands, yes);
  if (commands == 1 && !(ReadExchangeClean(writes) && std::memcmp(g_fake.delivered.data() + kImageAt, file, kImageSize) != 0)) {
    FuzzFail("WriteEEPROM in a restore without a read exchange that brought another image");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzCaptureInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static SimulatedPrinter printer;  // records what went out; the script answers
  ResetFakePlatform();
  printer.Reset(MakeImage(PresetImage::kValid).data());
  FakeUseScript(&printer, data, size);
  FuzzCaptureBegin();
  const int result = CheckAndRepairEeprom(FakeHandle(0));
  std::size_t outSize = 0;
  const char* out = FuzzCaptureEnd(&outSize);
  FuzzShow(out);
  CheckRun(result, out, outSize);

  ResetFakePlatform();
  printer.Reset(MakeImage(PresetImage::kValid).data());
  FakeUseScript(&printer, data, size);
  FuzzCaptureBegin();
  EepromRequest checkOnly;
  checkOnly.checkOnly = true;
  EepromVerdict verdict = EepromVerdict::kNotKept;
  const int checkResult = CheckAndRepairEeprom(FakeHandle(0), checkOnly, &verdict);
  out = FuzzCaptureEnd(&outSize);
  FuzzShow(out);
  CheckCheckOnlyRun(checkResult, verdict, out, outSize);

  static const EepromBytes file = MakeImage(PresetImage::kOlder);
  static const char* const kAnswers[] = {"", "yes\n", "no\n", ""};  // the first is --yes's
  ResetFakePlatform();
  printer.Reset(MakeImage(PresetImage::kValid).data());
  FakeUseScript(&printer, data, size);
  RestoreRequest restore;
  restore.image = file.data();
  restore.path = "FILE";
  restore.yes = size % 4 == 0;
  const char* answer = kAnswers[size % 4];
  restore.answers = *answer != '\0' ? fmemopen(const_cast<char*>(answer), std::strlen(answer), "r")
                                     : std::fopen("/dev/null", "r");
  FuzzCaptureBegin();
  RestoreEeprom(FakeHandle(0), restore);
  std::fclose(restore.answers);
  FuzzShow(FuzzCaptureEnd(&outSize));
  CheckRestoreRun(size % 4 < 2, file.data());
  return 0;
}

// Fuzzes printer discovery: the device paths of up to three snapshots, the name filter, a
// failing open, and the lines typed at the prompt all come from the input.
//
// Input: byte 0: devices in the first snapshot (mod 9); byte 1: 0 keeps the later snapshots
// equal to the first, else its low and high nibbles (mod 9) are the device counts of the second
// and third; byte 2: where the third snapshot starts in the path pool (mod 8); byte 3: bit 7 a
// filter follows, of (bits 0-4) bytes, bit 6 the open fails; then the filter; then eight paths,
// each a length byte (255 counts as 254) and its bytes; the rest is what is typed at the prompt.
//
// On every input: the printer opened is the only one, else the last one matched by the filter,
// else the one at the index answered at the prompt, and none when the chosen index has gone;
// nothing else is opened; the listing, prompts and line breaks printed are exactly those due;
// every snapshot is released; the prompt is asked at most once per line typed, plus once.
// Paths stay within 254 characters: longer ones end the process, which the unit tests cover.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "device/discovery.h"
#include "fuzz_platform.h"

namespace {

constexpr std::size_t kPoolSize = 8;
constexpr std::size_t kMaxPathLength = 254;
constexpr std::size_t kAnswerPiece = 99;  // one read of the prompt takes at most this much
constexpr std::size_t kFilterSize = 32;

const char kPrompt[] = "Enter the index of the device you wish to send to: ";

struct Scenario {
  char pool[kPoolSize][kMaxPathLength + 1];
  char filter[kFilterSize];
  bool hasFilter;
  const std::uint8_t* answers;
  std::size_t answersSize;
};

Scenario g_scenario;

// Takes one byte of the input; 0 once it is used up.
std::uint8_t Take(const std::uint8_t* data, std::size_t size, std::size_t& at) {
  return at < size ? data[at++] : 0;
}

void Parse(const std::uint8_t* data, std::size_t size) {
  Scenario& s = g_scenario;
  std::memset(&s, 0, sizeof s);
  FuzzEnumeration& e = g_fuzzEnumeration;
  std::memset(&e, 0, sizeof e);

  std::size_t at = 0;
  const std::uint32_t first = Take(data, size, at) % 9u;
  const std::uint8_t later = Take(data, size, at);
  const std::uint32_t thirdStart = Take(data, size, at) % kPoolSize;
  const std::uint8_t flags = Take(data, size, at);
  s.hasFilter = (flags & 0x80) != 0;
  e.openFails = (flags & 0x40) != 0;
  if (s.hasFilter) {
    const std::size_t length = flags & 0x1Fu;
    for (std::size_t i = 0; i < length; ++i) s.filter[i] = static_cast<char>(Take(data, size, at));
  }
  for (std::size_t p = 0; p < kPoolSize; ++p) {
    std::size_t length = Take(data, size, at);
    if (length > kMaxPathLength) length = kMaxPathLength;
    for (std::size_t i = 0; i < length; ++i) s.pool[p][i] = static_cast<char>(Take(data, size, at));
  }
  s.answers = data + at;
  s.answersSize = size - at;

  const std::uint32_t counts[kFuzzMaxSnapshots] = {
      first, later == 0 ? first : (later & 0x0Fu) % 9u, later == 0 ? first : (later >> 4) % 9u};
  for (std::size_t k = 0; k < kFuzzMaxSnapshots; ++k) {
    e.snapshots[k].count = counts[k];
    const std::size_t start = (k == 2 && later != 0) ? thirdStart : 0;
    for (std::size_t i = 0; i < counts[k]; ++i) e.snapshots[k].paths[i] = s.pool[(start + i) % kPoolSize];
  }
}

// What OpenPrinterDevice must do with this scenario.
struct Expected {
  std::string out;
  const char* opens;  // the path opened, or nullptr
  std::uint32_t snapshots;
};

// The answer as the prompt takes it: white space, one sign, digits; none gives 0, too many
// the largest value, and a minus sign counts back from 2^32.
std::uint32_t AnswerValue(const std::string& line) {
  std::size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || (line[i] >= '\t' && line[i] <= '\r'))) ++i;
  bool minus = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) minus = line[i++] == '-';
  unsigned long long value = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    value = value * 10 + static_cast<unsigned long long>(line[i] - '0');
    if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  }
  return minus ? static_cast<std::uint32_t>((0x100000000ull - value) & 0xFFFFFFFFull) : static_cast<std::uint32_t>(value);
}

Expected Predict() {
  const Scenario& s = g_scenario;
  const FuzzEnumeration& e = g_fuzzEnumeration;
  Expected x{"", nullptr, 0};
  const std::size_t filterLength = strnlen(s.filter, kFilterSize);
  if (s.hasFilter && filterLength > 17) return x;  // it would not fit the key: nothing is asked

  x.snapshots = 1;
  const FuzzSnapshot& counted = e.snapshots[0];
  if (counted.count == 0) return x;
  if (counted.count == 1) {
    x.opens = counted.paths[0];
    return x;
  }
  long selected = -1;
  if (s.hasFilter) {
    std::string key = "#";
    for (std::size_t i = 0; i < filterLength; ++i) {
      const char c = s.filter[i];
      key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    key += "#";
    for (std::uint32_t i = 0; i < counted.count; ++i) {
      if (std::strstr(counted.paths[i], key.c_str()) != nullptr) selected = i;
    }
  }
  if (selected < 0) {
    const FuzzSnapshot& listed = e.snapshots[1];
    x.snapshots = 2;
    for (std::uint32_t i = 0; i < listed.count; ++i) {
      x.out += "Device # " + std::to_string(i) + " has the name " + listed.paths[i] + "\n";
    }
    if (listed.count == 0) return x;
    std::size_t at = 0;
    for (;;) {
      x.out += kPrompt;
      if (at == s.answersSize) {
        x.out += "\n";
        return x;
      }
      std::size_t end = at;  // one line, or the first kAnswerPiece characters of it
      while (end < s.answersSize && end - at < kAnswerPiece) {
        if (s.answers[end++] == '\n') break;
      }
      // The piece is read as text: it ends at its first zero byte.
      std::string piece(reinterpret_cast<const char*>(s.answers + at), end - at);
      piece = piece.c_str();
      at = end;
      const std::uint32_t value = AnswerValue(piece);
      if (value < listed.count) {
        selected = static_cast<long>(value);
        break;
      }
    }
  }
  ++x.snapshots;
  const FuzzSnapshot& fetched = e.snapshots[x.snapshots - 1];
  if (static_cast<std::uint32_t>(selected) < fetched.count) x.opens = fetched.paths[selected];
  return x;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzCaptureInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Parse(data, size);
  const Scenario& s = g_scenario;
  const FuzzEnumeration& e = g_fuzzEnumeration;

  // fmemopen wants a buffer it may write to, even for reading.
  static char answers[1 << 20];
  if (s.answersSize > sizeof answers) return 0;
  std::memcpy(answers, s.answers, s.answersSize);
  std::FILE* typed = fmemopen(answers, s.answersSize, "r");
  if (typed == nullptr) FuzzFail("fmemopen failed");

  FuzzCaptureBegin();
  const DeviceHandle handle = OpenPrinterDevice(s.hasFilter ? s.filter : nullptr, typed);
  std::size_t outSize = 0;
  const char* out = FuzzCaptureEnd(&outSize);
  std::fclose(typed);
  FuzzShow(out);

  const Expected x = Predict();
  if (std::string(out, outSize) != x.out) FuzzFail("printed output differs; expected:\n%s", x.out.c_str());
  if (e.snapshotsOpen != 0) FuzzFail("%d snapshots left open", e.snapshotsOpen);
  if (e.snapshotsTaken != x.snapshots) FuzzFail("%u snapshots taken, %u due", e.snapshotsTaken, x.snapshots);
  if (x.opens == nullptr) {
    if (e.opens != 0) FuzzFail("opened '%s' where nothing may be opened", e.openedPath);
    if (handle != kInvalidHandle) FuzzFail("a handle returned where nothing was opened");
    return 0;
  }
  if (e.opens != 1) FuzzFail("%u opens where one is due", e.opens);
  if (std::strcmp(e.openedPath, x.opens) != 0) FuzzFail("opened '%s' instead of '%s'", e.openedPath, x.opens);
  if (handle != (e.openFails ? kInvalidHandle : kFuzzHandle)) FuzzFail("the open's result was not returned");
  return 0;
}

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
// else the one at the index answered at the prompt, and none when the fetch pass does not find
// that same path at that index;
// nothing else is opened; the listing, prompts and line breaks printed are exactly those due;
// every snapshot is released; the prompt is asked at most once per line typed, plus once.
// With a filter, OpenPrinterDeviceAt(filter) then opens the first printer whose path is the
// filter, whole, and nothing else, printing nothing and asking nothing.
// Paths stay within 254 characters: longer ones end the process, which the unit tests cover.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/discovery.h"
#include "fuzz_capture.h"
#include "support/fake_platform.h"

namespace {

constexpr std::size_t kPoolSize = 8;
constexpr std::size_t kSnapshots = 3;
constexpr std::size_t kMaxPathLength = 254;
constexpr std::size_t kAnswerPiece = 99;  // one read of the prompt takes at most this much
constexpr std::size_t kFilterSize = 32;

const char kPrompt[] = "Enter the index of the device you wish to send to: ";

struct Scenario {
  char pool[kPoolSize][kMaxPathLength + 1];
  char filter[kFilterSize];
  bool hasFilter;
  bool openFails;
  std::vector<std::string> snapshots[kSnapshots];  // the paths each snapshot finds
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
  std::memset(s.pool, 0, sizeof s.pool);
  std::memset(s.filter, 0, sizeof s.filter);

  std::size_t at = 0;
  const std::uint32_t first = Take(data, size, at) % 9u;
  const std::uint8_t later = Take(data, size, at);
  const std::uint32_t thirdStart = Take(data, size, at) % kPoolSize;
  const std::uint8_t flags = Take(data, size, at);
  s.hasFilter = (flags & 0x80) != 0;
  s.openFails = (flags & 0x40) != 0;
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

  const std::uint32_t counts[kSnapshots] = {first, later == 0 ? first : (later & 0x0Fu) % 9u,
                                            later == 0 ? first : (later >> 4) % 9u};
  for (std::size_t k = 0; k < kSnapshots; ++k) {
    s.snapshots[k].clear();
    const std::size_t start = (k == 2 && later != 0) ? thirdStart : 0;
    for (std::size_t i = 0; i < counts[k]; ++i) s.snapshots[k].push_back(s.pool[(start + i) % kPoolSize]);
  }
}

// What OpenPrinterDevice must do with this scenario.
struct Expected {
  std::string out;
  const std::string* opens;  // the path opened, or nullptr
  int snapshots;
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
  Expected x{"", nullptr, 0};
  const std::size_t filterLength = strnlen(s.filter, kFilterSize);
  if (s.hasFilter && filterLength > 17) return x;  // it would not fit the key: nothing is asked

  x.snapshots = 1;
  const std::vector<std::string>& counted = s.snapshots[0];
  if (counted.empty()) return x;
  if (counted.size() == 1) {
    x.opens = &counted[0];
    return x;
  }
  long selected = -1;
  const std::string* chosen = nullptr;
  if (s.hasFilter) {
    std::string key = "#";
    for (std::size_t i = 0; i < filterLength; ++i) {
      const char c = s.filter[i];
      key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    key += "#";
    for (std::size_t i = 0; i < counted.size(); ++i) {
      if (counted[i].find(key) != std::string::npos) {
        selected = static_cast<long>(i);
        chosen = &counted[i];
      }
    }
  }
  if (selected < 0) {
    const std::vector<std::string>& listed = s.snapshots[1];
    x.snapshots = 2;
    for (std::size_t i = 0; i < listed.size(); ++i) {
      x.out += "Device # " + std::to_string(i) + " has the name " + listed[i] + "\n";
    }
    if (listed.empty()) return x;
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
      if (value < listed.size()) {
        selected = static_cast<long>(value);
        chosen = &listed[value];
        break;
      }
    }
  }
  // Only the chosen printer: the fetch pass must find its path at its index.
  const std::vector<std::string>& fetched = s.snapshots[x.snapshots++];
  const std::size_t index = static_cast<std::size_t>(selected);
  if (index < fetched.size() && fetched[index] == *chosen) x.opens = &fetched[index];
  return x;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzCaptureInit();
  return 0;
}

// The printer named by its whole path, in the first snapshot, or none.
void CheckOpenAt() {
  const Scenario& s = g_scenario;
  if (!s.hasFilter) return;
  g_fake.opened.clear();
  g_fake.snapshotsTaken = 0;
  FuzzCaptureBegin();
  OpenPrinterDeviceAt(s.filter);
  std::size_t outSize = 0;
  FuzzCaptureEnd(&outSize);
  if (outSize != 0) FuzzFail("OpenPrinterDeviceAt printed something");
  if (g_fake.snapshotsOpen != 0) FuzzFail("OpenPrinterDeviceAt left a snapshot open");
  bool listed = false;
  for (const std::string& path : s.snapshots[0]) listed = listed || path == s.filter;
  if (g_fake.opened.size() != (listed ? 1u : 0u) || (listed && g_fake.opened[0] != s.filter)) {
    FuzzFail("OpenPrinterDeviceAt('%s') opened %zu printers", s.filter, g_fake.opened.size());
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static SimulatedPrinter printer;  // discovery sends nothing; the fake only needs a printer to open
  Parse(data, size);
  const Scenario& s = g_scenario;
  ResetFakePlatform();
  g_fake.failOpen = s.openFails;
  g_fake.openErrorCode = kFakeAccessDenied;
  g_fake.beforeSnapshot = [](int number) {
    const Scenario& s = g_scenario;
    g_fake.devices.clear();
    for (const std::string& path : s.snapshots[number < 3 ? number : 2]) g_fake.devices.push_back({path, &printer});
  };

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
  if (!g_fake.misuse.empty()) FuzzFail("the seam was misused: %s", g_fake.misuse.c_str());
  if (g_fake.snapshotsOpen != 0) FuzzFail("%d snapshots left open", g_fake.snapshotsOpen);
  if (g_fake.snapshotsTaken != x.snapshots) FuzzFail("%d snapshots taken, %d due", g_fake.snapshotsTaken, x.snapshots);
  if (x.opens == nullptr) {
    if (!g_fake.opened.empty()) FuzzFail("opened '%s' where nothing may be opened", g_fake.opened[0].c_str());
    if (handle != kInvalidHandle) FuzzFail("a handle returned where nothing was opened");
    CheckOpenAt();
    return 0;
  }
  if (g_fake.opened.size() != 1) FuzzFail("%zu opens where one is due", g_fake.opened.size());
  if (g_fake.opened[0] != *x.opens) FuzzFail("opened '%s' instead of '%s'", g_fake.opened[0].c_str(), x.opens->c_str());
  if ((handle == kInvalidHandle) != s.openFails) FuzzFail("the open's result was not returned");
  CheckOpenAt();
  return 0;
}

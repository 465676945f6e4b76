// Writes the seed corpus of both fuzz targets: OUTDIR/check_and_repair/* and OUTDIR/discovery/*.
//
// EEPROM seeds are typical conversations with the simulated printer: the printer's answers to
// the bytes the tool sends, followed by the control values of the fuzz device (see
// fuzz_platform.h) for each device call the tool makes, so that each seed replays the whole
// conversation, fragments, slow answers and failing calls included.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_platform.h"
#include "support/simulated_printer.h"

namespace {

constexpr std::size_t kBlock = 512;
constexpr std::size_t kMaxEmptyRun = 30;
constexpr std::size_t kMaxPayloadRead = 1023;
constexpr std::uint16_t kWhole = MakeControl(0, 0);

// How the conversation goes besides the printer's own answers.
struct Plan {
  std::size_t chunk = kBlock;       // most bytes one read brings
  std::size_t emptyBefore = 0;      // reads that bring nothing before each chunk
  std::size_t payloadPiece = 0;     // the device takes the image payload in pieces this large
  long failWrite = -1;              // this write call fails, sending nothing
  long failRead = -1;               // this device read fails, bringing nothing
  long goneAtRead = -1;             // the device is gone from this read on
};

// The tool's side of a conversation, call by call, as the fuzz device will replay it.
struct Conversation {
  SimulatedPrinter* printer;
  Plan plan;
  Bytes stream;                          // what the printer sent, in order
  std::vector<std::uint16_t> controls;   // one per device call
  std::size_t available = 0;             // sent by the printer, not yet read from the device
  std::size_t staged = 0;                // read from the device, not yet handed to the tool
  std::size_t consumed = 0;              // handed to the tool
  long writes = 0;
  long reads = 0;
  long pendingEmpty = 0;
  bool gone = false;
};

std::uint16_t Load16(const std::uint8_t* at) { return static_cast<std::uint16_t>((at[0] << 8) | at[1]); }

std::uint32_t Load32(const std::uint8_t* at) {
  return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) | at[3];
}

// One write call; returns whether all of `bytes` went out.
bool Write(Conversation& c, const std::uint8_t* bytes, std::size_t len, std::size_t take) {
  if (c.gone) return false;
  if (c.writes++ == c.plan.failWrite) {
    c.controls.push_back(MakeControl(kWriteFails, 0));
    return false;
  }
  c.controls.push_back(take >= len ? kWhole : MakeControl(kWriteShort, static_cast<std::uint16_t>(take)));
  const std::size_t sent = std::min(take, len);
  c.printer->Receive(bytes, sent);
  return sent == len;
}

bool Write(Conversation& c, const Bytes& bytes) { return Write(c, bytes.data(), bytes.size(), bytes.size()); }

// One paced read loop of the tool for `want` bytes; returns the bytes it got.
std::size_t ReadLoop(Conversation& c, std::size_t want) {
  const std::size_t before = c.printer->PendingBytes();
  Bytes fresh(before);
  c.printer->Send(fresh.data(), fresh.size());
  c.stream.insert(c.stream.end(), fresh.begin(), fresh.end());
  c.available += fresh.size();

  std::size_t count = 0;
  std::size_t emptyRun = 0;
  while (count < want && !c.gone) {
    std::size_t got = std::min(c.staged, want - count);
    c.staged -= got;
    if (got < want - count) {
      std::size_t n = 0;
      const long number = c.reads++;
      if (number == c.plan.goneAtRead) {
        c.controls.push_back(MakeControl(kReadGone, 0));
        c.gone = true;
      } else if (number == c.plan.failRead) {
        c.controls.push_back(MakeControl(kReadFails, 0));
      } else if (c.pendingEmpty > 0) {
        --c.pendingEmpty;
        c.controls.push_back(MakeControl(0, 0));
      } else {
        n = std::min({c.plan.chunk, kBlock, c.available});
        c.controls.push_back(MakeControl(0, static_cast<std::uint16_t>(n)));
        if (n != 0) c.pendingEmpty = static_cast<long>(c.plan.emptyBefore);
      }
      c.available -= n;
      const std::size_t taken = std::min(n, want - count - got);
      c.staged = n - taken;
      got += taken;
    }
    c.consumed += got;
    count += got;
    if (got != 0) {
      emptyRun = 0;
    } else if (++emptyRun >= kMaxEmptyRun) {
      break;
    }
  }
  return count;
}

const std::uint8_t* Consumed(const Conversation& c, std::size_t size) { return c.stream.data() + c.consumed - size; }

// Receives a response header and, for ReadEEPROM, its payload, as the tool does. Returns false
// when not one byte of the header came.
bool Exchange(Conversation& c, std::uint16_t cmdID, std::size_t expected, bool& ok, Bytes* data) {
  const std::size_t count = ReadLoop(c, 16);
  if (count == 0) return false;
  if (count != 16) ok = false;
  const std::uint8_t* header = Consumed(c, count);
  const bool statusOk = count == 16 && Load16(header + 4) == 1;
  if (count == 16 && (Load16(header) != 0x00AC || Load16(header + 2) != cmdID)) ok = false;
  if (!statusOk) ok = false;
  if (cmdID != 0x0003 || !statusOk || !ok) return true;
  const std::uint32_t announced = Load32(header + 6);
  if (announced != expected) ok = false;
  const std::size_t toRead = std::min<std::size_t>(announced, kMaxPayloadRead);
  const std::size_t got = toRead == 0 ? 0 : ReadLoop(c, toRead);
  if (got != toRead) ok = false;
  Bytes payload(Consumed(c, got), Consumed(c, got) + got);
  payload.resize(1024, 0);
  const std::size_t dataSize = expected - 4;
  if (Load32(payload.data() + dataSize) != ReferenceChecksum(payload.data(), dataSize)) ok = false;
  *data = Bytes(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(dataSize));
  return true;
}

// The whole procedure from the tool's side, against the printer.
void Converse(Conversation& c) {
  bool ok = true;
  Bytes image;
  ok &= Write(c, UelBytes());
  ok &= Write(c, EnterLanguageBytes());
  ok &= Write(c, CommandBytes(0x0003, 0, 320));
  if (!Exchange(c, 0x0003, 324, ok, &image)) return;
  const bool imageRead = ok;
  ok &= Write(c, UelBytes());
  if (!imageRead) return;

  EepromBytes eeprom;
  std::copy(image.begin(), image.end(), eeprom.begin());
  const std::uint16_t checksum = EepromChecksum(eeprom);
  const bool plausible = eeprom[0x1C] == 0x03 && eeprom[0x1D] == 0xF0 &&
                         std::memcmp(&eeprom[0x33], "Quorvane-Delsit\0\0\0\0\0\0\0\0\0\0", 25) == 0;
  if (Load16(eeprom.data()) == checksum || !plausible) return;

  ok &= Write(c, UelBytes());
  ok &= Write(c, EnterLanguageBytes());
  ok &= Write(c, CommandBytes(0xEC0D, 324, 0));
  SetStoredChecksum(eeprom, checksum);
  Bytes payload(eeprom.begin(), eeprom.end());
  const std::uint32_t trailer = ReferenceChecksum(eeprom.data(), eeprom.size());
  for (int shift = 24; shift >= 0; shift -= 8) payload.push_back(static_cast<std::uint8_t>(trailer >> shift));
  std::size_t sent = 0;
  while (sent < payload.size() && !c.gone) {
    const std::size_t rest = payload.size() - sent;
    const std::size_t piece = c.plan.payloadPiece == 0 ? rest : std::min(c.plan.payloadPiece, rest);
    const bool refused = c.writes == c.plan.failWrite;  // the tool gives up on a write that sends nothing
    Write(c, payload.data() + sent, rest, piece);
    if (refused) {
      ok = false;
      break;
    }
    sent += piece;
  }
  Bytes unused;
  if (!Exchange(c, 0xEC0D, 0, ok, &unused)) return;
  ok &= Write(c, UelBytes());
  ok &= Write(c, EnterLanguageBytes());
  ok &= Write(c, CommandBytes(0x0003, 0, 2));
  Bytes readBack;
  if (!Exchange(c, 0x0003, 6, ok, &readBack)) return;
  Write(c, UelBytes());
}

std::string g_outDir;
int g_written = 0;

void Save(const std::string& target, const std::string& name, const Bytes& bytes) {
  const std::string path = g_outDir + "/" + target + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  ++g_written;
}

// Runs the conversation and saves it as one input: the stream, then the control values from
// the end of the file backwards.
void Seed(const std::string& name, SimulatedPrinter& printer, const Plan& plan = Plan{}) {
  Conversation c{&printer, plan, {}, {}};
  Converse(c);
  Bytes input = c.stream;
  for (auto it = c.controls.rbegin(); it != c.controls.rend(); ++it) {
    input.push_back(static_cast<std::uint8_t>(*it));
    input.push_back(static_cast<std::uint8_t>(*it >> 8));
  }
  Save("check_and_repair", name, input);
}

EepromBytes Damaged() {
  EepromBytes eeprom = MakeValidEeprom();
  SetStoredChecksum(eeprom, static_cast<std::uint16_t>(EepromChecksum(eeprom) ^ 0x1234));
  return eeprom;
}

void EepromSeeds() {
  struct Named {
    const char* name;
    Plan plan;
  };
  Plan fragmented, oneByte, slow, shortWrites, failedRead, failedPayload, goneMidway;
  fragmented.chunk = 7;
  oneByte.chunk = 1;
  slow.chunk = 64;
  slow.emptyBefore = 3;
  shortWrites.payloadPiece = 100;
  failedRead.failRead = 0;
  failedPayload.failWrite = 7;
  goneMidway.chunk = 100;
  goneMidway.goneAtRead = 2;
  for (const Named& n : {Named{"repair", Plan{}}, Named{"repair_fragmented", fragmented},
                         Named{"repair_one_byte_reads", oneByte}, Named{"repair_slow", slow},
                         Named{"repair_short_writes", shortWrites}, Named{"repair_failed_read", failedRead},
                         Named{"repair_failed_payload_write", failedPayload}, Named{"repair_device_gone", goneMidway}}) {
    SimulatedPrinter printer(Damaged());
    Seed(n.name, printer, n.plan);
  }
  {
    SimulatedPrinter printer(MakeValidEeprom());
    Seed("correct", printer);
  }
  {
    EepromBytes eeprom = Damaged();
    eeprom[0x1D] = 0xF1;
    SimulatedPrinter printer(eeprom);
    Seed("sanity_marker", printer);
  }
  {
    EepromBytes eeprom = Damaged();
    eeprom[0x33 + 15] = ' ';
    SimulatedPrinter printer(eeprom);
    Seed("sanity_name", printer);
  }
  {
    SimulatedPrinter printer(Damaged());
    printer.writeTakes = false;
    Seed("write_does_not_take", printer);
  }
  struct Faulted {
    const char* name;
    std::size_t response;  // 0: the read, 1: the write, 2: the verify
    ResponseFault fault;
  };
  std::vector<Faulted> faulted(11);
  faulted[0] = {"read_bad_trailer", 0, {}};
  faulted[0].fault.trailer = 0x0000ABCD;
  faulted[1] = {"read_bad_status", 0, {}};
  faulted[1].fault.cmdStatus = 2;
  faulted[2] = {"read_bad_prefix_and_cmd", 0, {}};
  faulted[2].fault.prefix = 0xAD;
  faulted[2].fault.cmdID = 4;
  faulted[3] = {"read_announces_2000", 0, {}};
  faulted[3].fault.length = 2000;
  faulted[4] = {"read_cut_short", 0, {}};
  faulted[4].fault.cutAfter = 100;
  faulted[5] = {"read_silent", 0, {}};
  faulted[5].fault.silent = true;
  faulted[6] = {"write_refused", 1, {}};
  faulted[6].fault.cmdStatus = 2;
  faulted[7] = {"write_silent", 1, {}};
  faulted[7].fault.silent = true;
  faulted[8] = {"verify_other_bytes", 2, {}};
  faulted[8].fault.data = Bytes{0x00, 0x00};
  faulted[9] = {"verify_bad_trailer", 2, {}};
  faulted[9].fault.trailer = 0x12345678;
  faulted[10] = {"verify_wrong_length", 2, {}};
  faulted[10].fault.length = 5;
  for (const Faulted& f : faulted) {
    SimulatedPrinter printer(Damaged());
    printer.faults[f.response] = f.fault;
    Seed(f.name, printer);
  }
}

// --- Discovery -------------------------------------------------------------------------------

struct Enumeration {
  std::uint8_t first = 0;
  std::uint8_t later = 0;
  std::uint8_t thirdStart = 0;
  bool openFails = false;
  std::string filter;  // empty: none
  bool hasFilter = false;
  std::vector<std::string> paths;
  std::string answers;
};

void DiscoverySeed(const std::string& name, const Enumeration& e) {
  Bytes input{e.first, e.later, e.thirdStart,
              static_cast<std::uint8_t>((e.hasFilter ? 0x80 : 0) | (e.openFails ? 0x40 : 0) | (e.filter.size() & 0x1F))};
  input.insert(input.end(), e.filter.begin(), e.filter.end());
  for (std::size_t p = 0; p < kFuzzMaxDevices; ++p) {
    const std::string path = p < e.paths.size() ? e.paths[p] : "";
    input.push_back(static_cast<std::uint8_t>(path.size()));
    input.insert(input.end(), path.begin(), path.end());
  }
  input.insert(input.end(), e.answers.begin(), e.answers.end());
  Save("discovery", name, input);
}

void DiscoverySeeds() {
  const std::string usb = "\\\\?\\usb#vid_1234&pid_5678#";
  const std::string guid = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
  Enumeration e;
  e.first = 1;
  e.paths = {"/dev/usb/lp0"};
  DiscoverySeed("one_printer", e);
  e.openFails = true;
  DiscoverySeed("one_printer_open_fails", e);

  e = Enumeration{};
  e.first = 2;
  e.paths = {"/dev/usb/lp0", "/dev/usb/lp1"};
  e.answers = "1\n";
  DiscoverySeed("two_printers_answer_1", e);
  e.answers = "2\n-1\nabc\n";
  DiscoverySeed("two_printers_out_of_range_then_letters", e);
  e.answers = " +1x\n";
  DiscoverySeed("two_printers_blank_sign_letter", e);
  e.answers = "";
  DiscoverySeed("two_printers_input_ends", e);
  e.answers = std::string(150, '9') + "\n1\n";
  DiscoverySeed("two_printers_long_line", e);
  e.answers = "-4294967295\n";
  DiscoverySeed("two_printers_wrapped_negative", e);
  e.later = 0x12;  // the listing shows two, the fetch finds one
  e.answers = "1\n";
  DiscoverySeed("printer_gone_before_fetch", e);

  e = Enumeration{};
  e.first = 3;
  e.paths = {usb + "other" + guid, usb + "quorvane" + guid, usb + "QUORVANE" + guid};
  e.hasFilter = true;
  e.filter = "Quorvane";
  DiscoverySeed("filter_matches_one", e);
  e.filter = "nothing";
  e.answers = "0\n";
  DiscoverySeed("filter_matches_none", e);
  e.filter = "abcdefghijklmnopq";
  DiscoverySeed("filter_of_17", e);
  e.filter = "abcdefghijklmnopqr";
  DiscoverySeed("filter_of_18", e);

  e = Enumeration{};
  e.first = 2;
  e.paths = {std::string(254, 'p'), std::string(254, 'q')};
  e.answers = "1";
  DiscoverySeed("paths_of_254", e);

  e = Enumeration{};
  DiscoverySeed("no_printer", e);
}

void MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(path.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
    return 2;
  }
  g_outDir = argv[1];
  MakeDirectory(g_outDir);
  MakeDirectory(g_outDir + "/check_and_repair");
  MakeDirectory(g_outDir + "/discovery");
  EepromSeeds();
  DiscoverySeeds();
  std::printf("%d seeds in %s\n", g_written, g_outDir.c_str());
  return 0;
}

// Writes the seed corpus of both fuzz targets: OUTDIR/check_and_repair/* and OUTDIR/discovery/*.
//
// EEPROM seeds are recordings: the tool's own procedure runs against the simulated printer
// through the fake platform, with the printer's knobs and the fake's failing calls of each seed,
// and the fake writes the run down as a script that replays it (what the printer sent, then
// the outcome of every device call).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "eeprom/check_and_repair.h"
#include "support/fake_platform.h"

namespace {

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

// Runs the procedure against a printer holding `image`; `arrange` sets its knobs and the
// fake's faults. Saves the run as one input.
void Seed(const std::string& name, const EepromBytes& image, const std::function<void(SimulatedPrinter&)>& arrange = {}) {
  static SimulatedPrinter printer;
  ResetFakePlatform();
  printer.Reset(image.data());
  if (arrange) arrange(printer);
  g_fake.devices = {{"/dev/usb/lp0", &printer}};
  CheckAndRepairEeprom(FakeHandle(0));
  Save("check_and_repair", name, FakeRecordedScript());
}

void EepromSeeds() {
  const EepromBytes corrupt = MakeImage(PresetImage::kCorrupt);
  Seed("correct", MakeImage(PresetImage::kValid));
  Seed("sanity_marker", MakeImage(PresetImage::kInsane));
  EepromBytes badName = corrupt;
  badName[0x33 + 15] = ' ';
  Seed("sanity_name", badName);

  Seed("repair", corrupt);
  Seed("repair_fragmented", corrupt, [](SimulatedPrinter& p) { p.chunkSize = 7; });
  Seed("repair_one_byte_reads", corrupt, [](SimulatedPrinter& p) { p.chunkSize = 1; });
  Seed("repair_slow", corrupt, [](SimulatedPrinter& p) {
    for (std::uint32_t i = 0; i < kMaxChunks; ++i) p.chunks[i] = i % 4 == 3 ? 64 : 0;
    p.chunkCount = kMaxChunks;
  });
  Seed("repair_short_writes", corrupt, [](SimulatedPrinter&) {
    for (std::size_t write = 7; write < 10; ++write) g_fake.writeFaults[write] = IoFault{0, 100, false};
  });
  Seed("repair_failed_read", corrupt, [](SimulatedPrinter&) { g_fake.readFaults[0] = IoFault{}; });
  Seed("repair_failed_payload_write", corrupt, [](SimulatedPrinter&) { g_fake.writeFaults[7] = IoFault{}; });
  Seed("repair_header_cut", corrupt, [](SimulatedPrinter&) { g_fake.writeFaults[6] = IoFault{0, 10, false}; });
  Seed("repair_device_gone", corrupt, [](SimulatedPrinter& p) {
    p.chunkSize = 100;
    g_fake.readFaults[2] = IoFault{kFakeNoSuchDevice, 0, true};
  });
  Seed("repair_gone_after_write", corrupt, [](SimulatedPrinter& p) { p.goneAfter = 1; });
  Seed("write_does_not_take", corrupt, [](SimulatedPrinter& p) { p.writeTakes = false; });

  Seed("read_bad_trailer", corrupt, [](SimulatedPrinter& p) { p.faults[0].trailer = 0x0000ABCD; });
  Seed("read_bad_status", corrupt, [](SimulatedPrinter& p) { p.faults[0].cmdStatus = 2; });
  Seed("read_bad_prefix_and_cmd", corrupt, [](SimulatedPrinter& p) {
    p.faults[0].prefix = 0xAD;
    p.faults[0].cmdID = 4;
  });
  Seed("read_announces_2000", corrupt, [](SimulatedPrinter& p) { p.faults[0].length = 2000; });
  Seed("read_cut_short", corrupt, [](SimulatedPrinter& p) { p.faults[0].cutAfter = 100; });
  Seed("read_silent", corrupt, [](SimulatedPrinter& p) { p.faults[0].silent = true; });
  Seed("write_refused", corrupt, [](SimulatedPrinter& p) { p.faults[1].cmdStatus = 2; });
  Seed("write_silent", corrupt, [](SimulatedPrinter& p) { p.faults[1].silent = true; });
  Seed("verify_other_bytes", corrupt, [](SimulatedPrinter& p) {
    const std::uint8_t zeros[2] = {0, 0};
    p.faults[2].data.Set(zeros, 2);
  });
  Seed("verify_bad_trailer", corrupt, [](SimulatedPrinter& p) { p.faults[2].trailer = 0x12345678; });
  Seed("verify_wrong_length", corrupt, [](SimulatedPrinter& p) { p.faults[2].length = 5; });
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
  for (std::size_t p = 0; p < 8; ++p) {  // the discovery target's pool of paths
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
  // The tool's own lines are not ours to show.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  MakeDirectory(g_outDir);
  MakeDirectory(g_outDir + "/check_and_repair");
  MakeDirectory(g_outDir + "/discovery");
  EepromSeeds();
  DiscoverySeeds();
  std::fprintf(stderr, "%d seeds in %s\n", g_written, g_outDir.c_str());
  return 0;
}

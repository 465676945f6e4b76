// The fault matrix: a full repair, with each of its device calls made to fail in turn, and with
// the printer falling silent at each of its reads, for answers that arrive whole and answers
// that arrive in small pieces. Whatever breaks, the run ends with exit code 0 within the read
// bounds, says what happened, writes nothing after a failed read exchange, and leaves the
// EEPROM either as it was or correctly repaired.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>
#include <map>
#include <set>
#include <string>

#include "driver/run.h"
#include "support/capture.h"
#include "support/fake_platform.h"

namespace {

constexpr char kChecking[] = "Checking CRC in EEPROM...\n";
constexpr char kRepairing[] = "Repairing CRC in EEPROM...\n";
constexpr char kRepaired[] = "EEPROM Repaired\n\n";
constexpr char kStopped[] = "ERROR: the printer stopped responding, no further action taken\n";
constexpr char kUnverified[] = "ERROR: EEPROM repair could not be verified\n\n";
constexpr std::size_t kImageWrite = 7;  // the write that sends the 324 image bytes
// What one fault may add to a run: one read loop that gives up, 30 s after its last byte, in
// paced steps of a read and its pause.
constexpr std::uint64_t kOneGiveUpMs = 30 * 1000 + 2 * (1000 + kReadWaitMs);

enum class Arrival { kWhole, kInPieces };

struct Outcome {
  int exitCode = -1;
  std::string out;
  EepromBytes eeprom{};
  bool writeCommandSent = false;
  std::size_t eepromWrites = 0;
  std::uint64_t clockMs = 0;
  std::size_t writes = 0;
  std::size_t reads = 0;
  std::size_t readsInReadExchange = 0;  // reads made before the UEL that closes the read exchange
  std::size_t readsBeforeImage = 0;     // reads made before the image write
  std::size_t callsAfterFailure = 0;  // reads and writes after the first one that failed
  std::size_t imageBytesSent = 0;     // bytes of writes longer than a PJL line or a header
};

EepromBytes Damaged() {
  EepromBytes eeprom = MakeValidEeprom();
  SetStoredChecksum(eeprom, static_cast<std::uint16_t>(EepromChecksum(eeprom) ^ 0x5A5A));
  return eeprom;
}

// Runs the whole tool against a printer that holds a damaged image; `arrange` sets the fault.
template <typename Arrange>
Outcome RunDamaged(Arrival arrival, Arrange arrange, const RunOptions& options = RunOptions{}) {
  ResetFakePlatform();
  SimulatedPrinter printer(Damaged().data());
  if (arrival == Arrival::kInPieces) printer.chunkSize = 7;
  g_fake.devices = {{"/dev/usb/lp0", &printer}};
  arrange();

  Outcome o;
  const ToolRun run = RunTool(options);
  o.exitCode = run.exitCode;
  o.out = run.out;
  o.eeprom = EepromOf(printer);
  for (std::uint32_t i = 0; i < printer.commandCount && i < kMaxRecordedCommands; ++i) {
    if (printer.commands[i].cmdID == 0xEC0D) o.writeCommandSent = true;
  }
  o.eepromWrites = printer.eepromWrites;
  o.clockMs = g_fake.clockMs;
  o.writes = g_fake.writes;
  o.reads = g_fake.reads;
  bool failed = false;
  std::size_t writes = 0;
  std::size_t reads = 0;
  o.readsInReadExchange = o.reads;
  o.readsBeforeImage = o.reads;
  for (const FakeCall& call : g_fake.calls) {
    if (call.kind != FakeCall::kWrite && call.kind != FakeCall::kRead) continue;
    if (failed) ++o.callsAfterFailure;
    failed = failed || !call.ok;
    if (call.kind == FakeCall::kRead) ++reads;
    if (call.kind == FakeCall::kWrite && writes == 3) o.readsInReadExchange = reads;
    if (call.kind == FakeCall::kWrite && writes == kImageWrite) o.readsBeforeImage = reads;
    if (call.kind == FakeCall::kWrite) ++writes;
    if (call.kind == FakeCall::kWrite && call.asked > 25) o.imageBytesSent += call.value;
  }
  return o;
}

// The last line of output, or the two last when the last one is empty.
bool EndsWithVerdict(const std::string& out) {
  for (const char* verdict :
       {"EEPROM could not be read, no action taken\n", kRepaired, kUnverified,
        "bytes, should be: 16.\n", "ERROR: the repair could not be started, the image was not sent\n",
        kStopped}) {
    if (EndsWith(out, verdict)) return true;
  }
  return out.find("ERROR: failed to repair EEPROM checksum: Should be: ") != std::string::npos && EndsWith(out, "\n\n");
}

// What holds for every run, whatever failed. `readExchangeFailed`: the fault hit the read
// exchange so that its image cannot be trusted.
void ExpectSafe(const Outcome& o, const Outcome& clean, bool readExchangeFailed, std::uint64_t slackMs) {
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.out.rfind(kChecking, 0), 0u) << o.out;
  EXPECT_TRUE(EndsWithVerdict(o.out)) << o.out;
  EXPECT_EQ(o.out.find("already correct"), std::string::npos) << o.out;
  EXPECT_EQ(o.out.find("Sanity Checks"), std::string::npos) << o.out;
  EXPECT_LE(o.clockMs, clean.clockMs + slackMs) << "the run outlasted its read bounds\n" << o.out;

  const bool untouched = o.eeprom == Damaged();
  EXPECT_TRUE(untouched || o.eeprom == clean.eeprom) << "the EEPROM holds neither the old nor the repaired image";
  EXPECT_LE(o.eepromWrites, 1u);
  if (o.out.find(kRepaired) != std::string::npos) {
    EXPECT_EQ(o.eeprom, clean.eeprom) << o.out;
  }
  if (readExchangeFailed) {
    EXPECT_FALSE(o.writeCommandSent) << "WriteEEPROM after a failed read exchange\n" << o.out;
    EXPECT_TRUE(untouched);
    EXPECT_EQ(o.out.find(kRepairing), std::string::npos) << o.out;
  }
}

class FaultMatrix : public testing::TestWithParam<Arrival> {
 protected:
  void SetUp() override {
    clean_ = RunDamaged(GetParam(), [] {});
    ASSERT_EQ(clean_.out, std::string(kChecking) + kRepairing + kRepaired);
    ASSERT_EQ(clean_.eepromWrites, 1u);
  }

  Outcome clean_;
};

TEST_P(FaultMatrix, CleanRunIsAFullRepair) {
  // UEL, ENTER, command for each of the three exchanges, the image payload, two closing UELs.
  EXPECT_EQ(clean_.writes, 12u);
  EXPECT_GE(clean_.reads, 3u);
  EXPECT_EQ(clean_.eeprom[0], EepromChecksum(Damaged()) >> 8);
}

TEST_P(FaultMatrix, EachWriteFails) {
  for (std::size_t write = 0; write < clean_.writes; ++write) {
    SCOPED_TRACE("write " + std::to_string(write) + " fails");
    const Outcome o = RunDamaged(GetParam(), [&] { g_fake.writeFaults[write] = IoFault{kFakeProtocolError, 0, true}; });
    ExpectSafe(o, clean_, write < 3, kOneGiveUpMs);
    EXPECT_NE(o.out.find("WriteFile() Failed, error = 71\n"), std::string::npos);
    // A write that went wrong clears the verdict, unless it is the very last one: the closing
    // UEL, after the printer confirmed the repair.
    const bool closingUel = write + 1 == clean_.writes;
    EXPECT_EQ(o.out.find(kRepaired) != std::string::npos, closingUel) << o.out;
  }
}

TEST_P(FaultMatrix, EachReadFails) {
  for (std::size_t read = 0; read < clean_.reads; ++read) {
    SCOPED_TRACE("read " + std::to_string(read) + " fails");
    // The failed read brings nothing this once; the next one picks the answer up.
    const Outcome o = RunDamaged(GetParam(), [&] { g_fake.readFaults[read] = IoFault{kFakeProtocolError, 0, true}; });
    ExpectSafe(o, clean_, false, kOneGiveUpMs);
    EXPECT_NE(o.out.find("ReadFile() Failed, error = 71\n"), std::string::npos);
    EXPECT_TRUE(EndsWith(o.out, kRepaired)) << o.out;
  }
}

// Unplugged (EIO while usblp lets go of the printer, ENODEV after) or no longer taking data
// (a write that timed out): the failing call is the last one that touches the device, and the
// run ends there with the stopped-responding line, or, when the last call failed, with the
// verdict it had.
TEST_P(FaultMatrix, PrinterGoneAtEachCall) {
  constexpr std::uint64_t kAtOnceMs = 2000;  // the failed read's pause, and the pause of the next
  const std::uint32_t codes[] = {kFakeIoError, kFakeNoSuchDevice, kFakeTimedOut};
  for (std::uint32_t code : codes) {
    for (std::size_t call = 0; call < clean_.writes + clean_.reads; ++call) {
      const bool write = call < clean_.writes;
      const std::size_t number = write ? call : call - clean_.writes;
      if (!write && code == kFakeTimedOut) continue;  // only writes time out
      SCOPED_TRACE("code " + std::to_string(code) + (write ? " at write " : " at read ") + std::to_string(number));
      // Gone in the middle of the image: part of it went out.
      const std::uint32_t count = write && number == kImageWrite ? 100 : 0;
      const Outcome o = RunDamaged(GetParam(), [&] { (write ? g_fake.writeFaults : g_fake.readFaults)[number] = IoFault{code, count, true}; });
      const bool inReadExchange = write ? number < 3 : number < clean_.readsInReadExchange;
      ExpectSafe(o, clean_, inReadExchange, kAtOnceMs);
      EXPECT_NE(o.out.find(std::string(write ? "WriteFile" : "ReadFile") + "() Failed, error = " + std::to_string(code) + "\n"),
                std::string::npos) << o.out;
      EXPECT_EQ(o.callsAfterFailure, 0u) << "the device was touched after it was gone";
      if (write && number == 3) {
        EXPECT_EQ(o.out.find(kRepairing), std::string::npos) << o.out;
      }
      const bool last = write && number + 1 == clean_.writes;  // gone after it confirmed the repair
      EXPECT_EQ(o.out.find(kRepaired) != std::string::npos, last) << o.out;
      // Nothing is tried, and so nothing more fails, once the printer is known to be gone.
      EXPECT_EQ(o.out.find("ERROR: failed to send"), o.out.rfind("ERROR: failed to send")) << o.out;
      // Once the image went out the EEPROM may hold it: an end before the read-back says so.
      const bool afterImage = write ? number >= kImageWrite : number >= o.readsBeforeImage;
      if (!last && afterImage) {
        EXPECT_TRUE(EndsWith(o.out, std::string(kStopped) + kUnverified) ||
                    EndsWith(o.out, std::string("bytes, should be: 16.\n") + kUnverified)) << o.out;
      } else if (!last) {
        EXPECT_TRUE(EndsWith(o.out, kStopped) || EndsWith(o.out, "bytes, should be: 16.\n")) << o.out;
      }
    }
  }
}

// An image write that failed with nothing counted may still go out when its transfer is
// outstanding: the run then ends unverified, whether the printer counts as gone (timed out) or
// not (interrupted). One that came back with its count sent nothing.
TEST_P(FaultMatrix, ImageWriteLeftOutstanding) {
  const char kNotSent[] = "ERROR: failed to send WriteEEPROM data. Wrote 0 bytes, should be: 324.\n";
  for (const std::uint32_t code : {kFakeTimedOut, kFakeProtocolError}) {
    for (const bool outstanding : {true, false}) {
      SCOPED_TRACE("code " + std::to_string(code) + (outstanding ? ", outstanding" : ", came back"));
      const Outcome o = RunDamaged(GetParam(), [&] { g_fake.writeFaults[kImageWrite] = IoFault{code, 0, true, outstanding}; });
      ExpectSafe(o, clean_, false, kOneGiveUpMs);
      EXPECT_NE(o.out.find(kNotSent), std::string::npos) << o.out;
      EXPECT_EQ(EndsWith(o.out, kUnverified), outstanding) << o.out;
      if (code == kFakeTimedOut) {
        EXPECT_TRUE(EndsWith(o.out, std::string(kNotSent) + kStopped + (outstanding ? kUnverified : ""))) << o.out;
      }
    }
  }
}

TEST_P(FaultMatrix, PrinterFallsSilentAtEachRead) {
  for (std::size_t read = 0; read < clean_.reads; ++read) {
    SCOPED_TRACE("silent from read " + std::to_string(read));
    const Outcome o = RunDamaged(GetParam(), [&] { g_fake.silentFromRead = read; });
    ExpectSafe(o, clean_, read < clean_.readsInReadExchange, kOneGiveUpMs);
    EXPECT_EQ(o.out.find(kRepaired), std::string::npos) << o.out;
    EXPECT_GE(o.clockMs, 30u * 1000) << "gave up before 30 s brought nothing";
  }
}

// With --check, whatever fails: the read exchange and nothing more, and an exit code that tells
// whether the image was read (3: wrong and repairable) or not (5).
TEST_P(FaultMatrix, CheckOnlyWhateverFails) {
  RunOptions checkOnly;
  checkOnly.checkOnly = true;
  const Outcome clean = RunDamaged(GetParam(), [] {}, checkOnly);
  ASSERT_EQ(clean.exitCode, 3) << clean.out;
  std::vector<std::function<void()>> faults;
  for (std::size_t call = 0; call < clean.writes + clean.reads; ++call) {
    for (const std::uint32_t code : {kFakeProtocolError, kFakeNoSuchDevice}) {
      const bool write = call < clean.writes;
      const std::size_t number = write ? call : call - clean.writes;
      faults.push_back([=] { (write ? g_fake.writeFaults : g_fake.readFaults)[number] = IoFault{code, 0, true}; });
    }
    if (call < clean.reads) faults.push_back([=] { g_fake.silentFromRead = call; });
  }
  for (std::size_t i = 0; i < faults.size(); ++i) {
    SCOPED_TRACE("fault " + std::to_string(i));
    const Outcome o = RunDamaged(GetParam(), faults[i], checkOnly);
    EXPECT_FALSE(o.writeCommandSent) << o.out;
    EXPECT_LE(o.writes, 4u);
    EXPECT_EQ(o.eeprom, Damaged());
    EXPECT_TRUE(o.exitCode == 3 || o.exitCode == 5) << o.exitCode;
    EXPECT_EQ(o.exitCode == 3, EndsWith(o.out, "; run eepromfix without --check to repair it\n")) << o.out;
  }
}

// With --restore --yes, whatever fails: the EEPROM holds its image or FILE's, and each exit code
// (0, 5, 8, 10) keeps its word; within the bounds, and nothing more once the printer is gone.
TEST_P(FaultMatrix, RestoreWhateverFails) {
  const EepromBytes older = MakeImage(PresetImage::kOlder);
  RunOptions restore;
  restore.restoreFile = "older.bin";
  restore.yes = true;
  const auto run = [&](const std::function<void()>& fault) {
    return RunDamaged(GetParam(), [&] { g_fake.files["older.bin"] = Bytes(older.begin(), older.end()); fault(); }, restore);
  };
  const Outcome clean = run([] {});
  ASSERT_TRUE(clean.exitCode == 0 && clean.eeprom == older) << clean.out;
  std::set<int> ends;
  for (std::size_t call = 0; call < clean.writes + clean.reads; ++call) {
    const bool write = call < clean.writes;
    const std::size_t number = write ? call : call - clean.writes;
    for (const std::uint32_t code : {kFakeProtocolError, kFakeNoSuchDevice, kFakeTimedOut, 0u}) {
      if (!write && code == kFakeTimedOut) continue;
      SCOPED_TRACE("code " + std::to_string(code) + (write ? " at write " : " at read ") + std::to_string(number));
      const Outcome o = run([&] {
        if (code == 0) {
          g_fake.silentFromRead = number;
        } else {
          (write ? g_fake.writeFaults : g_fake.readFaults)[number] = IoFault{code, write ? 100u : 0u, true};
        }
      });
      EXPECT_TRUE(o.eeprom == Damaged() || o.eeprom == older);
      EXPECT_LE(o.eepromWrites, 1u);
      EXPECT_LE(o.clockMs, clean.clockMs + kOneGiveUpMs) << o.out;
      EXPECT_TRUE(code == kFakeProtocolError || code == 0 || o.callsAfterFailure == 0);
      EXPECT_EQ(o.exitCode == 0, EndsWith(o.out, "EEPROM restored: the image read back equals older.bin\n")) << o.out;
      EXPECT_TRUE(o.exitCode != 0 || o.eeprom == older);
      EXPECT_TRUE(o.exitCode != 5 || !o.writeCommandSent) << o.out;
      EXPECT_TRUE(o.exitCode != 8 || o.imageBytesSent == 0) << o.out;
      EXPECT_EQ(o.exitCode == 10, EndsWith(o.out, "ERROR: EEPROM restore could not be verified\n")) << o.out;
      ends.insert(o.exitCode);
    }
  }
  EXPECT_EQ(ends, (std::set<int>{0, 5, 8, 10}));  // 9 needs a printer that keeps its image
}

INSTANTIATE_TEST_SUITE_P(Answers, FaultMatrix, testing::Values(Arrival::kWhole, Arrival::kInPieces),
                         [](const testing::TestParamInfo<Arrival>& info) {
                           return info.param == Arrival::kWhole ? "Whole" : "InPieces";
                         });

}  // namespace

// printer_server: serves simulated printers on the master side of raw ptys, so that the real
// eepromfix binary can talk to them through /dev/pts/N as it talks to a usblp device, or on the
// printer's end of a USB printer gadget (/dev/g_printerN), so that it talks to them through
// the kernel's usblp driver. A test tool; it is not installed with eepromfix.
//
//   printer_server serve --out DIR [--answer-delay MS] [--printer IMAGE [KNOB...]]...
//       Prints the slave name of each printer ("pts/N"), or its device path, on a line of its
//       own, then "ready".
//       Writes DIR/printerK.before (the EEPROM it starts with); on SIGTERM or SIGINT waits for
//       the last bytes in transit, then writes DIR/printerK.received (every byte from the host)
//       and DIR/printerK.eeprom (the EEPROM it ends with), and exits.
//       --answer-delay MS holds every answer back for MS milliseconds, as a real printer takes
//       a moment to answer (default 0).
//       KNOBs, for the printer given just before:
//         --fault N:FIELD=VALUE[,FIELD=VALUE...]  changes response N (counted from 0); FIELDs:
//             prefix, cmdid, status, length, trailer, cut (numbers, 0x... for hex),
//             data, payload (hex bytes), silent (no value)
//         --write-does-not-take   WriteEEPROM is acknowledged but the EEPROM keeps its bytes
//         --silent-from N         no answer from response N on
//         --chunks A,B,...        the answers go out in pieces of A, B, ... bytes, each piece
//                                 only once the tool has read the one before (a gadget: each
//                                 as a USB transfer of its own)
//         --gone-at N             unplugged when response N is due (after the answer delay),
//                                 instead of answering it
//         --stall-after N         takes no more bytes once response N has gone out: the host's
//                                 writes block (on a gadget whose q_len is 1 the very next one,
//                                 on a pty only once its buffer is full)
//         --stall-at-payload      takes no more bytes once the WriteEEPROM header is in: the
//                                 image's write blocks (on a gadget whose q_len is 1)
//         --device PATH           served on this gadget device instead of a pty
//         --unplug UDC_FILE       the gadget's UDC file in configfs: an unplug writes an empty
//                                 line into it (a pty is hung up instead)
//         --unplug-after-stall MS unplugged MS milliseconds after it stalled
//   printer_server image PRESET FILE     writes a preset image: valid, corrupt, insane, older,
//                                        unmarked
//   printer_server info IMAGE            prints "STORED COMPUTED TRANSMISSION": the image's
//                                        stored and computed checksums (four hex digits) and
//                                        the transmission checksum of all 320 bytes (0x...)
//   printer_server expect check|check-unclosed|repair|repair-unsent|restore IMAGE FILE
//                                        writes the byte stream that a check of IMAGE (one
//                                        read exchange), the read exchange without its closing
//                                        UEL, a full repair of it, a repair up to the
//                                        WriteEEPROM header, or a restore of IMAGE sends
//   printer_server describe FILE         prints a received byte stream element by element
//   printer_server masked COMMAND [ARG...]
//                                        runs COMMAND with the real-time signals blocked, as a
//                                        parent may leave them
//   printer_server as-user ID COMMAND [ARG...]
//                                        runs COMMAND as user and group ID, without others
//   printer_server hold NODE INTERFACE   claims the interface of the USB device at its usbfs
//                                        NODE, as another program would, prints "held" and
//                                        keeps it until standard input ends
//
// IMAGE is a preset name or a file of 320 bytes. "corrupt" is "valid" with a wrong stored
// checksum; "insane" is "corrupt" with its second marker byte changed. "older" and "unmarked"
// have right checksums: "valid" with a few other bytes, and with its second marker changed.
#include <fcntl.h>
#include <grp.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "protocol/byte_order.h"
#include "support/streams.h"

namespace {

constexpr std::size_t kEepromSize = 320;
constexpr std::uint16_t kReadEeprom = 0x0003;
constexpr std::uint16_t kWriteEeprom = 0xEC0D;

// A piece handed to the pty counts as read once the slave's input queue is empty, but not
// sooner than this: the kernel moves written bytes to that queue asynchronously.
constexpr std::int64_t kSettleMs = 50;
// After the stop signal, the bytes still in transit have arrived once this long passes quietly.
constexpr int kDrainQuietMs = 200;

volatile sig_atomic_t g_stop = 0;
int g_wakeWrite = -1;  // write end of the self-pipe that wakes the poll loop on a signal

void OnStopSignal(int) {
  g_stop = 1;
  const char byte = 's';
  const ssize_t ignored = write(g_wakeWrite, &byte, 1);
  (void)ignored;
}

std::int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// --- Parsing of the command line ----------------------------------------------------------------

bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-' || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseHex(const std::string& text, Bytes* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    std::uint64_t byte = 0;
    if (!ParseNumber("0x" + text.substr(i, 2), 0xFF, &byte)) return false;
    bytes->push_back(static_cast<std::uint8_t>(byte));
  }
  return true;
}

// One FIELD=VALUE of a --fault.
bool ParseFaultField(const std::string& field, ResponseFault* fault) {
  const std::size_t equals = field.find('=');
  const std::string name = field.substr(0, equals);
  if (equals == std::string::npos) {
    if (name != "silent") return false;
    fault->silent = true;
    return true;
  }
  const std::string value = field.substr(equals + 1);
  std::uint64_t number = 0;
  if (name == "data" || name == "payload") {
    Bytes bytes;
    if (!ParseHex(value, &bytes) || bytes.size() > kFaultBytesSize) return false;
    (name == "data" ? fault->data : fault->payload).Set(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return true;
  }
  if (name == "prefix" || name == "cmdid" || name == "status") {
    if (!ParseNumber(value, 0xFFFF, &number)) return false;
    const auto narrow = static_cast<std::uint16_t>(number);
    (name == "prefix" ? fault->prefix : name == "cmdid" ? fault->cmdID : fault->cmdStatus) = narrow;
    return true;
  }
  if (name == "length" || name == "trailer" || name == "cut") {
    if (!ParseNumber(value, 0xFFFFFFFF, &number)) return false;
    const auto wide = static_cast<std::uint32_t>(number);
    (name == "length" ? fault->length : name == "trailer" ? fault->trailer : fault->cutAfter) = wide;
    return true;
  }
  return false;
}

// "N:FIELD=VALUE,FIELD=VALUE..." into the printer's faults.
bool ParseFault(const std::string& text, SimulatedPrinter* printer) {
  const std::size_t colon = text.find(':');
  std::uint64_t number = 0;
  if (colon == std::string::npos || !ParseNumber(text.substr(0, colon), kMaxFaultedResponses - 1, &number)) {
    return false;
  }
  ResponseFault& fault = printer->faults[number];
  std::size_t start = colon + 1;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    if (!ParseFaultField(text.substr(start, comma - start), &fault)) return false;
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool ParseChunks(const std::string& text, SimulatedPrinter* printer) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    std::uint64_t size = 0;
    // A piece of 0 bytes would be a read that finds nothing, which a pty cannot arrange.
    if (!ParseNumber(text.substr(start, comma - start), 0xFFFF, &size) || size == 0 ||
        printer->chunkCount == kMaxChunks) {
      return false;
    }
    printer->chunks[printer->chunkCount++] = static_cast<std::uint32_t>(size);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// --- Images ---------------------------------------------------------------------------------------

// LoadEepromImage, saying why when it cannot.
bool LoadImageOrSay(const std::string& source, EepromBytes* image) {
  if (LoadEepromImage(source.c_str(), image)) return true;
  std::fprintf(stderr, "printer_server: %s is neither a preset nor a %zu-byte image file\n", source.c_str(),
               kEepromSize);
  return false;
}

// --- Describing a received stream -----------------------------------------------------------------

// One element: a label in a column of its own, then its bytes in hex.
void PrintElement(const std::string& label, const std::uint8_t* bytes, std::size_t size) {
  std::printf("%-32s", label.c_str());
  for (std::size_t i = 0; i < size; ++i) std::printf(" %02x", bytes[i]);
  std::printf("\n");
}

void DescribeImagePayload(const std::uint8_t* payload, std::size_t size) {
  if (size != kEepromSize + 4) {
    PrintElement("  payload (" + std::to_string(size) + " bytes)", payload, size);
    return;
  }
  std::printf("  payload (%zu bytes): the image, then the transmission checksum\n", size);
  PrintElement("    bytes 0-1 (image checksum)", payload, 2);
  PrintElement("    bytes 2-17", payload + 2, 16);
  std::printf("    ...\n");
  PrintElement("    bytes 304-319", payload + kEepromSize - 16, 16);
  PrintElement("    bytes 320-323 (transmission)", payload + kEepromSize, 4);
}

// Runs of bytes that are no element are printed as one line.
struct Describer {
  Bytes other;
  void FlushOther() {
    if (other.empty()) return;
    PrintElement(std::to_string(other.size()) + " other bytes", other.data(), other.size());
    other.clear();
  }
};

void DescribeElement(void* context, const AclElement& element) {
  auto* describer = static_cast<Describer*>(context);
  if (element.kind == AclElementKind::kOther) {
    describer->other.push_back(element.bytes[0]);
    return;
  }
  describer->FlushOther();
  const AclCommand& command = element.command;
  switch (element.kind) {
    case AclElementKind::kUel:
      PrintElement("UEL (ESC %-12345X)", element.bytes, element.size);
      break;
    case AclElementKind::kEnterLanguage:
      std::printf("%-32s (25 bytes)\n", "@PJL ENTER LANGUAGE=ACL");
      break;
    case AclElementKind::kCommand:
      PrintElement(command.cmdID == kReadEeprom    ? "ReadEEPROM, readLength " + std::to_string(command.readLength)
                   : command.cmdID == kWriteEeprom ? "WriteEEPROM, length " + std::to_string(command.length)
                                                   : "command " + std::to_string(command.cmdID),
                   element.bytes, element.size);
      break;
    default:
      DescribeImagePayload(element.bytes, element.size);
      break;
  }
}

// One line per protocol element, as the printer takes them apart.
void Describe(const Bytes& stream) {
  Describer describer;
  static AclStreamParser parser;
  AclParserInit(&parser, DescribeElement, &describer);
  AclParserFeed(&parser, stream.data(), static_cast<std::uint32_t>(stream.size()));
  AclParserFinish(&parser);
  describer.FlushOther();
}

// --- Serving ---------------------------------------------------------------------------------------

// A printer as the command line sets it up: its image, its knobs and its transport.
struct PrinterSetup {
  EepromBytes image{};
  std::unique_ptr<SimulatedPrinter> printer;
  std::string device;                   // empty: served on a pty of its own
  std::string unplugFile;               // the gadget's UDC file
  std::int64_t unplugAfterStallMs = -1;  // -1: never
};

struct ServedPrinter {
  SimulatedPrinter* printer = nullptr;
  int fd = -1;     // our end: a pty master or the gadget's device
  int slave = -1;  // pty only: kept open, so that the tool's close does not hang up the pair
  std::string name;  // "pts/N", or the device path
  std::string unplugFile;
  std::int64_t unplugAfterStallMs = -1;
  bool answerDue = false;        // bytes are waiting to go out
  std::int64_t releaseAtMs = 0;  // ... but not before this
  bool pieceInFlight = false;    // a piece was handed out and the tool may not have read it yet
  std::int64_t pieceAtMs = 0;
  Bytes unsent;                  // the rest of a piece that the transport did not take yet
  std::int64_t stalledAtMs = -1;
  std::int64_t goneAtMs = -1;
  bool unplugged = false;        // unplugged (a pty: hung up) after the model went away
};

// Opens a pty pair in raw mode: every byte passes unchanged in both directions.
bool OpenRawPty(ServedPrinter* served) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("printer_server: cannot open a pty");
    return false;
  }
  const char* name = ptsname(master);
  if (name == nullptr || std::strncmp(name, "/dev/", 5) != 0) {
    std::fprintf(stderr, "printer_server: unexpected pty name\n");
    return false;
  }
  termios raw{};
  if (tcgetattr(master, &raw) != 0) return false;
  cfmakeraw(&raw);
  if (tcsetattr(master, TCSANOW, &raw) != 0) return false;
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    std::perror("printer_server: cannot open the pty slave");
    return false;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  served->fd = master;
  served->slave = slave;
  served->name = name + 5;  // the DEVNAME form: "pts/N"
  return true;
}

// The printer's end of a USB printer gadget (/dev/g_printerN). Non-blocking: a blocking read
// is not woken when the gadget is unplugged.
bool OpenDevice(ServedPrinter* served, const std::string& path) {
  served->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (served->fd < 0) {
    std::fprintf(stderr, "printer_server: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  served->name = path;
  return true;
}

// Whether the host's bytes are taken. A stalled printer is not even polled: each poll of a
// gadget queues its OUT requests, and the host's writes must block instead.
bool Listening(const ServedPrinter& served) {
  return !served.unplugged && !served.printer->Stalled() && !served.printer->Gone();
}

// Takes what the host sent, one read per wake-up: a gadget read hands its request back idle,
// so that a printer that stalls on these bytes leaves the host nothing to write into. Returns
// false when our end cannot be read.
bool TakeInput(ServedPrinter* served, std::int64_t now, std::int64_t answerDelayMs) {
  std::uint8_t block[4096];
  const ssize_t got = read(served->fd, block, sizeof block);
  if (got < 0) return errno == EAGAIN || errno == EINTR;
  served->printer->Receive(block, static_cast<std::uint32_t>(got));
  if (!served->answerDue && served->printer->PendingBytes() > 0) {
    served->answerDue = true;
    served->releaseAtMs = now + answerDelayMs;
  }
  return true;
}

// Hands pending answer bytes to the host when their time has come; returns the milliseconds
// until it wants to be asked again (-1: not until more input arrives).
int GiveOutput(ServedPrinter* served, std::int64_t now) {
  constexpr int kRetryMs = 10;
  SimulatedPrinter& printer = *served->printer;
  if (served->unplugged) return -1;
  for (;;) {
    if (!served->unsent.empty()) {
      const ssize_t result = write(served->fd, served->unsent.data(), served->unsent.size());
      if (result < 0 && errno != EAGAIN && errno != EINTR) {
        std::perror(("printer_server: write to " + served->name).c_str());
        served->unsent.clear();
        return -1;
      }
      if (result > 0) served->unsent.erase(served->unsent.begin(), served->unsent.begin() + result);
      if (!served->unsent.empty()) return kRetryMs;  // the host has not read enough yet
    }
    if (printer.PendingBytes() == 0) break;
    if (now < served->releaseAtMs) return static_cast<int>(served->releaseAtMs - now);
    // On a pty every piece waits until the tool has read the one before (the slave's input
    // queue is empty again); a gadget sends each piece as a USB transfer of its own, which
    // usblp never joins to the next.
    if (served->pieceInFlight) {
      int queued = 0;
      if (now - served->pieceAtMs < kSettleMs || ioctl(served->slave, FIONREAD, &queued) != 0 ||
          queued > 0) {
        return kRetryMs;
      }
      served->pieceInFlight = false;
    }
    if (printer.chunkNext < printer.chunkCount && served->slave >= 0) {
      served->pieceInFlight = true;
      served->pieceAtMs = now;
    }
    Bytes& piece = served->unsent;
    piece.resize(printer.PendingBytes());
    piece.resize(printer.Send(piece.data(), static_cast<std::uint32_t>(piece.size())));
    if (piece.empty()) break;  // a gone printer sends nothing
  }
  served->answerDue = false;
  return -1;
}

// The sooner of two times, -1 being never.
template <typename T>
T Sooner(T a, T b) {
  return a < 0 ? b : b < 0 ? a : std::min(a, b);
}

// Unplugs the gadget as a user would (an empty line into its UDC file); a pty hangs up.
bool Unplug(ServedPrinter* served) {
  served->unplugged = true;
  if (served->slave >= 0) {
    close(served->fd);
    served->fd = -1;
    return true;
  }
  std::FILE* udc = std::fopen(served->unplugFile.c_str(), "w");
  const bool ok = udc != nullptr && std::fputs("\n", udc) >= 0;
  if (udc == nullptr || std::fclose(udc) != 0 || !ok) {
    std::fprintf(stderr, "printer_server: cannot unplug through %s\n", served->unplugFile.c_str());
    return false;
  }
  return true;
}

// Does to the transport what the model says happened to the printer: gone is unplugged when
// its answer would have gone out (after the answer delay), and a stalled one a set time after
// it stalled where asked. Returns the milliseconds until it wants to be asked again (-1: no
// reason to), -2 when the unplug failed.
int FollowModel(ServedPrinter* served, std::int64_t now, std::int64_t answerDelayMs) {
  if (served->unplugged) return -1;
  const SimulatedPrinter& printer = *served->printer;
  if (printer.Stalled() && served->stalledAtMs < 0) served->stalledAtMs = now;
  if (printer.Gone() && served->goneAtMs < 0) served->goneAtMs = now + answerDelayMs;
  std::int64_t at = served->goneAtMs;
  if (served->stalledAtMs >= 0 && served->unplugAfterStallMs >= 0) {
    at = Sooner(at, served->stalledAtMs + served->unplugAfterStallMs);
  }
  if (at < 0) return -1;
  if (now < at) return static_cast<int>(at - now);
  return Unplug(served) ? -1 : -2;
}

bool WriteResults(const std::string& dir, std::size_t index, const ServedPrinter& served) {
  const std::string base = dir + "/printer" + std::to_string(index);
  const Bytes received = ReceivedBytes(*served.printer);
  return WriteFileBytes((base + ".received").c_str(), received.data(), received.size()) &&
         WriteFileBytes((base + ".eeprom").c_str(), served.printer->eeprom, kEepromSize);
}

int Serve(const std::string& outDir, std::int64_t answerDelayMs,
          const std::vector<PrinterSetup>& setups) {
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  g_wakeWrite = wake[1];
  struct sigaction action{};
  action.sa_handler = OnStopSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  std::deque<ServedPrinter> printers;
  for (std::size_t i = 0; i < setups.size(); ++i) {
    const PrinterSetup& setup = setups[i];
    printers.emplace_back();
    ServedPrinter& served = printers.back();
    served.printer = setup.printer.get();
    served.unplugFile = setup.unplugFile;
    served.unplugAfterStallMs = setup.unplugAfterStallMs;
    if (!setup.device.empty() && setup.unplugFile.empty() &&
        (served.printer->goneAt != kNever || setup.unplugAfterStallMs >= 0)) {
      std::fprintf(stderr, "printer_server: printer %zu is to be unplugged but has no --unplug file\n", i);
      return 2;
    }
    if (!(setup.device.empty() ? OpenRawPty(&served) : OpenDevice(&served, setup.device))) return 1;
    const std::string before = outDir + "/printer" + std::to_string(i) + ".before";
    if (!WriteFileBytes(before.c_str(), setup.image.data(), kEepromSize)) {
      std::fprintf(stderr, "printer_server: cannot write %s\n", before.c_str());
      return 1;
    }
    std::printf("%s\n", served.name.c_str());
  }
  std::printf("ready\n");
  std::fflush(stdout);

  std::vector<pollfd> polled(printers.size() + 1);
  polled[0] = {wake[0], POLLIN, 0};

  // Serve until told to stop; then take what is still in transit until the line is quiet.
  bool draining = false;
  for (;;) {
    std::int64_t now = NowMs();
    int timeout = -1;
    for (std::size_t i = 0; i < printers.size(); ++i) {
      ServedPrinter& served = printers[i];
      timeout = Sooner(timeout, GiveOutput(&served, now));
      const int follow = FollowModel(&served, now, answerDelayMs);
      if (follow == -2) return 1;
      timeout = Sooner(timeout, follow);
      polled[i + 1] = {Listening(served) ? served.fd : -1, POLLIN, 0};
    }
    if (g_stop != 0 && !draining) draining = true;
    if (draining) timeout = kDrainQuietMs;

    const int ready = poll(polled.data(), polled.size(), timeout);
    if (ready < 0 && errno != EINTR) {
      std::perror("printer_server: poll");
      return 1;
    }
    if (draining && ready == 0) break;
    now = NowMs();
    for (std::size_t i = 0; i < printers.size(); ++i) {
      const short events = polled[i + 1].revents;
      if ((events & POLLIN) != 0 && !TakeInput(&printers[i], now, answerDelayMs)) {
        std::perror(("printer_server: read from " + printers[i].name).c_str());
        return 1;
      }
      if ((events & POLLIN) == 0 && (events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        std::fprintf(stderr, "printer_server: %s hung up\n", printers[i].name.c_str());
        return 1;
      }
    }
    if ((polled[0].revents & POLLIN) != 0) {
      char drained[16];
      while (read(wake[0], drained, sizeof drained) > 0) {
      }
    }
  }

  for (std::size_t i = 0; i < printers.size(); ++i) {
    if (!WriteResults(outDir, i, printers[i])) {
      std::fprintf(stderr, "printer_server: cannot write the results into %s\n", outDir.c_str());
      return 1;
    }
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: printer_server serve --out DIR [--answer-delay MS] [--printer IMAGE [KNOB...]]...\n"
               "       printer_server image valid|corrupt|insane|older|unmarked FILE\n"
               "       printer_server info IMAGE\n"
               "       printer_server expect check|check-unclosed|repair|repair-unsent|restore IMAGE FILE\n"
               "       printer_server describe FILE\n"
               "KNOBs: --fault N:FIELD=VALUE[,...]  --write-does-not-take  --silent-from N  --chunks A,B,...\n"
               "       --gone-at N  --stall-after N  --stall-at-payload  --device PATH  --unplug UDC_FILE\n"
               "       --unplug-after-stall MS\n");
  return 2;
}

// Applies one option of "serve" with its value to the settings; false when it is not one.
bool ApplyServeOption(const std::string& option, const std::string& value, std::string* outDir,
                      std::uint64_t* answerDelayMs, std::vector<PrinterSetup>* setups) {
  std::uint64_t number = 0;
  if (option == "--out") {
    *outDir = value;
    return true;
  }
  if (option == "--answer-delay") return ParseNumber(value, 60000, answerDelayMs);
  if (option == "--printer") {
    setups->emplace_back();
    PrinterSetup& setup = setups->back();
    if (!LoadImageOrSay(value, &setup.image)) return false;
    setup.printer = std::make_unique<SimulatedPrinter>(setup.image.data());
    return true;
  }
  if (setups->empty()) return false;  // the knobs below belong to a printer
  PrinterSetup& setup = setups->back();
  SimulatedPrinter* printer = setup.printer.get();
  if (option == "--fault") return ParseFault(value, printer);
  if (option == "--chunks") return ParseChunks(value, printer);
  if (option == "--device" || option == "--unplug") {
    (option == "--device" ? setup.device : setup.unplugFile) = value;
    return !value.empty();
  }
  if (option == "--unplug-after-stall" && ParseNumber(value, 600000, &number)) {
    setup.unplugAfterStallMs = static_cast<std::int64_t>(number);
    return true;
  }
  if (!ParseNumber(value, 0xFFFF, &number)) return false;
  std::uint32_t* knob = option == "--silent-from" ? &printer->silentFrom
                        : option == "--gone-at"     ? &printer->goneAt
                        : option == "--stall-after" ? &printer->stallAfter
                                                    : nullptr;
  if (knob == nullptr) return false;
  *knob = static_cast<std::uint32_t>(number);
  return true;
}

int ServeCommand(int argc, char** argv) {
  std::string outDir;
  std::uint64_t answerDelayMs = 0;
  std::vector<PrinterSetup> setups;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--write-does-not-take" && !setups.empty()) {
      setups.back().printer->writeTakes = false;
      continue;
    }
    if (option == "--stall-at-payload" && !setups.empty()) {
      setups.back().printer->stallAtPayload = true;
      continue;
    }
    const std::string value = i + 1 < argc ? argv[++i] : "";
    if (!ApplyServeOption(option, value, &outDir, &answerDelayMs, &setups)) {
      std::fprintf(stderr, "printer_server: bad option: %s %s\n", option.c_str(), value.c_str());
      return Usage();
    }
  }
  if (outDir.empty()) return Usage();
  return Serve(outDir, static_cast<std::int64_t>(answerDelayMs), setups);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  EepromBytes image{};

  if (command == "serve") return ServeCommand(argc, argv);
  if (command == "image" && argc == 4) {
    if (!LoadImageOrSay(argv[2], &image)) return 2;
    return WriteFileBytes(argv[3], image.data(), kEepromSize) ? 0 : 1;
  }
  if (command == "info" && argc == 3) {
    if (!LoadImageOrSay(argv[2], &image)) return 2;
    const unsigned stored = LoadBigEndian16(image.data());
    std::printf("%04x %04x %#x\n", stored, static_cast<unsigned>(EepromChecksum(image)),
                static_cast<unsigned>(ReferenceChecksum(image.data(), kEepromSize)));
    return 0;
  }
  if (command == "expect" && argc == 5) {
    const std::string kind = argv[2];
    if (!LoadImageOrSay(argv[3], &image)) return 2;
    Bytes stream;
    if (kind == "check") {
      stream = CheckOnlyStream();
    } else if (kind == "check-unclosed") {
      stream = Concat({UelBytes(), EnterLanguageBytes(), CommandBytes(kReadEeprom, 0, kEepromSize)});
    } else if (kind == "repair-unsent") {
      stream = Concat({CheckOnlyStream(), UelBytes(), EnterLanguageBytes(), CommandBytes(0xEC0D, 324, 0)});
    } else if (kind == "restore") {  // read, write IMAGE unchanged, read back whole
      stream = Concat({CheckOnlyStream(), UelBytes(), EnterLanguageBytes(), CommandBytes(0xEC0D, 324, 0),
                       WithTrailer(Bytes(image.begin(), image.end())), CheckOnlyStream()});
    } else if (kind == "repair") {
      SetStoredChecksum(image, EepromChecksum(image));
      stream = RepairStream(image);
    } else {
      return Usage();
    }
    return WriteFileBytes(argv[4], stream.data(), stream.size()) ? 0 : 1;
  }
  if (command == "masked" && argc >= 3) {
    sigset_t realTime;
    sigemptyset(&realTime);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&realTime, signal);
    sigprocmask(SIG_BLOCK, &realTime, nullptr);
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "printer_server: cannot run %s: %s\n", argv[2], std::strerror(errno));
    return 127;
  }
  if (command == "as-user" && argc >= 4) {
    const auto id = static_cast<uid_t>(std::strtoul(argv[2], nullptr, 10));
    if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) {
      std::fprintf(stderr, "printer_server: cannot become user %s: %s\n", argv[2], std::strerror(errno));
      return 125;
    }
    execvp(argv[3], argv + 3);
    std::fprintf(stderr, "printer_server: cannot run %s: %s\n", argv[3], std::strerror(errno));
    return 127;
  }
  if (command == "hold" && argc == 4) {
    const int node = open(argv[2], O_RDWR | O_CLOEXEC);
    unsigned interface = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
    if (node < 0 || ioctl(node, USBDEVFS_CLAIMINTERFACE, &interface) != 0) {
      std::fprintf(stderr, "printer_server: cannot claim %s: %s\n", argv[2], std::strerror(errno));
      return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
  }
  if (command == "describe" && argc == 3) {
    Bytes stream;
    if (!ReadFileBytes(argv[2], &stream)) {
      std::fprintf(stderr, "printer_server: cannot read %s\n", argv[2]);
      return 1;
    }
    Describe(stream);
    return 0;
  }
  return Usage();
}

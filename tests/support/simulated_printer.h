// The project's one simulated printer: it answers the byte stream as the real one does. It
// waits for the exit-language sequence and the ENTER LANGUAGE line, then takes 16-byte ACL
// command headers, answers ReadEEPROM with a response header and the asked-for EEPROM bytes
// plus their transmission checksum, and takes a WriteEEPROM payload whose transmission checksum
// is right into its EEPROM. Knobs break any part of an answer, and make the printer fall silent,
// stop taking data, or go away (be unplugged).
//
// Every transport serves this same model: the fake platform of the unit and fuzz tests, the
// printer server (ptys, and the USB printer gadget in the VM tests) and the printer driver that
// wine loads. Freestanding (no library, no allocation) for the sake of that driver: all state
// is in the object, which may live in zeroed memory and be set up with Reset().
#ifndef EEPROMFIX_TESTS_SUPPORT_SIMULATED_PRINTER_H
#define EEPROMFIX_TESTS_SUPPORT_SIMULATED_PRINTER_H

#include <stddef.h>
#include <stdint.h>

#include "support/acl_stream.h"

constexpr uint32_t kPrinterEepromSize = 320;
constexpr uint32_t kNever = 0xFFFFFFFFu;          // a response number that never comes
constexpr uint32_t kMaxFaultedResponses = 8;      // responses 0 to 7 can be changed
constexpr uint32_t kFaultBytesSize = 1100;        // most bytes of a replaced data or payload
constexpr uint32_t kMaxChunks = 64;
constexpr uint32_t kMaxRecordedCommands = 32;
constexpr uint32_t kReceivedSize = 8192;          // bytes from the host that are kept
constexpr uint32_t kOutgoingSize = 4096;

// A value that is either set or answered correctly.
template <typename T>
struct Knob {
  bool set;
  T value;
  Knob& operator=(T v) {
    set = true;
    value = v;
    return *this;
  }
  T Or(T fallback) const { return set ? value : fallback; }
};

struct KnobBytes {
  bool set;
  uint32_t size;
  uint8_t bytes[kFaultBytesSize];
  void Set(const uint8_t* from, uint32_t count);
};

// What to change in one response. Unset fields are answered correctly.
struct ResponseFault {
  Knob<uint16_t> prefix;
  Knob<uint16_t> cmdID;
  Knob<uint16_t> cmdStatus;
  Knob<uint32_t> length;    // the announced payload length
  Knob<uint32_t> trailer;   // replaces the transmission checksum
  Knob<uint32_t> cutAfter;  // only this many bytes of header and payload go out
  KnobBytes data;           // replaces the data bytes (the trailer is computed over them)
  KnobBytes payload;        // replaces data and trailer as sent
  bool silent;              // no answer at all
};

class SimulatedPrinter {
 public:
  SimulatedPrinter() = default;
  explicit SimulatedPrinter(const uint8_t* image) { Reset(image); }

  // A printer holding `image` (320 bytes), every knob off, nothing received.
  void Reset(const uint8_t* image);

  // Bytes from the host. Ignored once the printer is gone or has stopped taking data.
  void Receive(const uint8_t* bytes, uint32_t len);

  // Bytes to the host: at most `len`, and at most the next chunk size while there is one (a 0
  // there is a read that finds nothing). Nothing once the printer is gone.
  uint32_t Send(uint8_t* buffer, uint32_t len);

  uint32_t PendingBytes() const { return outgoingCount; }

  // Puts raw bytes on the way to the host, as if the printer had sent them unasked.
  void Queue(const uint8_t* bytes, uint32_t len);

  // Unplugged: every transfer fails from now on (the transport makes it so).
  bool Gone() const { return gone; }
  // The printer takes no more bytes: a host write blocks or times out (the transport's way).
  bool Stalled() const { return stalled; }

  // --- Knobs -----------------------------------------------------------------------------------
  ResponseFault faults[kMaxFaultedResponses];  // by response number, counted from 0
  bool writeTakes;      // false: WriteEEPROM is acknowledged but the EEPROM keeps its bytes
  uint32_t silentFrom;  // no answer from this response number on
  uint32_t goneAt;      // unplugged when this response is due, instead of answering it
  uint32_t goneAfter;   // unplugged once this response has gone out whole
  uint32_t stallAfter;  // takes no more bytes once this response has gone out whole
  bool stallAtPayload;  // takes no more bytes once a WriteEEPROM header is in: its payload's
                        // write blocks (from the next transfer on)
  uint32_t chunks[kMaxChunks];  // sizes of the next reads, in order
  uint32_t chunkCount;
  uint32_t chunkSize;   // after those, at most this per read (0: no limit)

  // --- What happened ---------------------------------------------------------------------------
  uint8_t eeprom[kPrinterEepromSize];
  uint8_t received[kReceivedSize];  // the first bytes from the host, in order
  uint32_t receivedCount;           // every byte from the host, kept or not
  AclCommand commands[kMaxRecordedCommands];  // the first command headers parsed
  uint32_t commandCount;                      // every command header parsed
  uint32_t responses;                         // responses answered or withheld so far
  uint32_t eepromWrites;                      // WriteEEPROM payloads taken into the EEPROM

  // --- Inner state -----------------------------------------------------------------------------
  AclStreamParser parser;
  uint8_t outgoing[kOutgoingSize];
  uint32_t outgoingStart;
  uint32_t outgoingCount;
  uint32_t chunkNext;
  bool gone;
  bool stalled;

  void Answer(const AclCommand& command, const uint8_t* writePayload, uint32_t payloadSize);
  void AfterSend();
};

// --- Images and checksums, shared by every transport ------------------------------------------

enum class PresetImage : uint8_t {
  kValid,    // plausible and with a correct checksum
  kCorrupt,  // "valid" with a wrong stored checksum
  kInsane,   // "corrupt" with its second marker byte changed
  kOlder,    // "valid" with bytes 0x60-0x63, 0x80, 0xC0 and 0x100 changed, its checksum right
  kUnmarked,  // "valid" with its second marker byte changed, its checksum right
};
void MakePresetImage(PresetImage preset, uint8_t* image);

// Independent of the tool's own routine: the printer's ones'-complement checksum, upper 16
// bits set.
uint32_t ReferenceChecksum(const uint8_t* bytes, uint32_t len);

// The lower 16 bits of the checksum over image bytes 2 to 319.
uint16_t EepromChecksum(const uint8_t* image);

#endif  // EEPROMFIX_TESTS_SUPPORT_SIMULATED_PRINTER_H

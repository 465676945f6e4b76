// A printer that answers the byte stream as the real one does: it waits for the exit-language
// sequence and the ENTER LANGUAGE line, then takes 16-byte ACL command headers, answers
// ReadEEPROM with a response header and the asked-for EEPROM bytes plus their transmission
// checksum, and takes the WriteEEPROM payload into its EEPROM. Knobs let a test break any part
// of an answer. Used by the unit tests (through the fake platform) and by the end-to-end
// printer server.
#ifndef EEPROMFIX_TESTS_SUPPORT_SIMULATED_PRINTER_H
#define EEPROMFIX_TESTS_SUPPORT_SIMULATED_PRINTER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

using Bytes = std::vector<std::uint8_t>;
using EepromBytes = std::array<std::uint8_t, 320>;

// What to change in one response. Unset fields are answered correctly.
struct ResponseFault {
  std::optional<std::uint16_t> prefix;
  std::optional<std::uint16_t> cmdID;
  std::optional<std::uint16_t> cmdStatus;
  std::optional<std::uint32_t> length;   // the announced payload length
  std::optional<Bytes> payload;          // replaces data and trailer as sent
  std::optional<std::uint32_t> trailer;  // replaces the transmission checksum
  std::optional<Bytes> data;             // replaces the data bytes (trailer computed over them)
  std::optional<std::size_t> cutAfter;   // only this many bytes of header+payload go out
  bool silent = false;                   // no answer at all
};

// One command header as the printer parsed it.
struct ReceivedCommand {
  std::uint16_t prefix;
  std::uint16_t cmdID;
  std::uint32_t length;
  std::uint32_t readLength;
};

class SimulatedPrinter {
 public:
  explicit SimulatedPrinter(const EepromBytes& eeprom);

  // Bytes from the host.
  void Receive(const std::uint8_t* bytes, std::size_t len);

  // Bytes to the host: at most `len`, and at most the next entry of `readChunks` while there
  // is one (a 0 there is a read that finds nothing).
  std::size_t Send(std::uint8_t* buffer, std::size_t len);

  std::size_t PendingBytes() const { return outgoing_.size(); }

  // Puts raw bytes on the way to the host, as if the printer had sent them unasked.
  void Queue(const Bytes& bytes) { outgoing_.insert(outgoing_.end(), bytes.begin(), bytes.end()); }

  // --- Knobs -----------------------------------------------------------------------------------
  std::map<std::size_t, ResponseFault> faults;  // by response number, counted from 0
  std::deque<std::size_t> readChunks;           // sizes of the next reads
  bool writeTakes = true;  // false: WriteEEPROM is acknowledged but the EEPROM keeps its bytes
  std::optional<std::size_t> silentFrom;  // no answer from this response number on

  // --- What happened ---------------------------------------------------------------------------
  EepromBytes eeprom;
  Bytes received;                         // every byte from the host, in order
  std::vector<ReceivedCommand> commands;  // every command header parsed
  std::size_t responses = 0;              // responses answered or withheld so far
  std::size_t eepromWrites = 0;           // WriteEEPROM payloads taken into the EEPROM

 private:
  void Parse();
  void Answer(const ReceivedCommand& command, const Bytes& writePayload);

  enum class Mode { kPjl, kAcl };
  Mode mode_ = Mode::kPjl;
  Bytes pending_;  // received bytes not parsed yet
  std::deque<std::uint8_t> outgoing_;
};

// --- Helpers for building images and expected byte streams -------------------------------------

// A plausible EEPROM image: markers, manufacturer name, some content, and a correct checksum.
EepromBytes MakeValidEeprom();

// The lower 16 bits of the ones'-complement checksum over bytes 2..319.
std::uint16_t EepromChecksum(const EepromBytes& eeprom);

// Stores `checksum` big-endian in bytes 0 and 1.
void SetStoredChecksum(EepromBytes& eeprom, std::uint16_t checksum);

// Independent reference implementation for the tests (not the tool's).
std::uint32_t ReferenceChecksum(const std::uint8_t* bytes, std::size_t len);

Bytes UelBytes();
Bytes EnterLanguageBytes();
Bytes CommandBytes(std::uint16_t cmdID, std::uint32_t length, std::uint32_t readLength);
Bytes ResponseHeaderBytes(std::uint16_t prefix, std::uint16_t cmdID, std::uint16_t cmdStatus,
                          std::uint32_t length);

// The stream a full repair sends, for an image whose corrected form is `repaired`.
Bytes RepairStream(const EepromBytes& repaired);
// The stream of a check that stops after the read exchange.
Bytes CheckOnlyStream();

Bytes Concat(std::initializer_list<Bytes> parts);

#endif  // EEPROMFIX_TESTS_SUPPORT_SIMULATED_PRINTER_H

#include "support/simulated_printer.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint8_t kUel[] = {0x1B, '%', '-', '1', '2', '3', '4', '5', 'X'};
constexpr char kEnterLanguage[] = "@PJL ENTER LANGUAGE=ACL\r\n";
constexpr std::size_t kEnterLanguageSize = sizeof kEnterLanguage - 1;
constexpr std::size_t kHeaderSize = 16;

void Put16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

void Put32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint16_t Get16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] << 8 | at[1]); }

std::uint32_t Get32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 | at[3];
}

// How many leading bytes of `pending` match `pattern` (a partial match waits for more input).
std::size_t MatchLength(const Bytes& pending, const std::uint8_t* pattern, std::size_t size) {
  std::size_t n = 0;
  while (n < size && n < pending.size() && pending[n] == pattern[n]) ++n;
  return n;
}

}  // namespace

SimulatedPrinter::SimulatedPrinter(const EepromBytes& image) : eeprom(image) {}

void SimulatedPrinter::Receive(const std::uint8_t* bytes, std::size_t len) {
  received.insert(received.end(), bytes, bytes + len);
  pending_.insert(pending_.end(), bytes, bytes + len);
  Parse();
}

std::size_t SimulatedPrinter::Send(std::uint8_t* buffer, std::size_t len) {
  std::size_t n = std::min(len, outgoing_.size());
  if (!readChunks.empty()) {
    n = std::min(n, readChunks.front());
    readChunks.pop_front();
  }
  std::copy_n(outgoing_.begin(), n, buffer);
  outgoing_.erase(outgoing_.begin(), outgoing_.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

void SimulatedPrinter::Parse() {
  for (;;) {
    if (pending_.empty()) return;
    // The exit-language sequence is understood in either personality.
    const std::size_t uel = MatchLength(pending_, kUel, sizeof kUel);
    if (uel == sizeof kUel) {
      pending_.erase(pending_.begin(), pending_.begin() + sizeof kUel);
      mode_ = Mode::kPjl;
      continue;
    }
    if (uel == pending_.size()) return;  // maybe the start of one

    if (mode_ == Mode::kPjl) {
      const auto* line = reinterpret_cast<const std::uint8_t*>(kEnterLanguage);
      const std::size_t enter = MatchLength(pending_, line, kEnterLanguageSize);
      if (enter == kEnterLanguageSize) {
        pending_.erase(pending_.begin(), pending_.begin() + kEnterLanguageSize);
        mode_ = Mode::kAcl;
        continue;
      }
      if (enter == pending_.size()) return;
      pending_.erase(pending_.begin());  // PJL the printer does not care about
      continue;
    }

    if (pending_.size() < kHeaderSize) return;
    const ReceivedCommand command{Get16(&pending_[0]), Get16(&pending_[2]), Get32(&pending_[4]),
                                  Get32(&pending_[8])};
    const std::size_t payloadSize = command.cmdID == 0xEC0D ? command.length : 0;
    if (pending_.size() < kHeaderSize + payloadSize) return;
    const Bytes payload(pending_.begin() + kHeaderSize,
                        pending_.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + payloadSize));
    pending_.erase(pending_.begin(),
                   pending_.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + payloadSize));
    commands.push_back(command);
    Answer(command, payload);
  }
}

void SimulatedPrinter::Answer(const ReceivedCommand& command, const Bytes& writePayload) {
  const std::size_t number = responses++;
  const ResponseFault fault = faults.count(number) != 0 ? faults[number] : ResponseFault{};
  if (fault.silent || (silentFrom && number >= *silentFrom)) return;

  std::uint16_t status = 0x0001;
  Bytes payload;
  if (command.prefix != 0x00AC) {
    status = 0x0002;  // not a command this printer knows
  } else if (command.cmdID == 0x0003) {
    Bytes data = fault.data.value_or(Bytes(
        eeprom.begin(), eeprom.begin() + std::min<std::size_t>(command.readLength, eeprom.size())));
    const std::uint32_t trailer =
        fault.trailer.value_or(ReferenceChecksum(data.data(), data.size()));
    payload = data;
    Put32(payload, trailer);
  } else if (command.cmdID == 0xEC0D) {
    // The printer checks the transmission checksum before it touches its EEPROM.
    const bool intact =
        writePayload.size() == eeprom.size() + 4 &&
        Get32(&writePayload[eeprom.size()]) == ReferenceChecksum(writePayload.data(), eeprom.size());
    if (!intact) {
      status = 0x0002;
    } else if (writeTakes) {
      std::copy_n(writePayload.begin(), eeprom.size(), eeprom.begin());
      ++eepromWrites;
    }
  } else {
    status = 0x0002;
  }
  if (fault.payload) payload = *fault.payload;

  Bytes response = ResponseHeaderBytes(
      fault.prefix.value_or(0x00AC), fault.cmdID.value_or(command.cmdID),
      fault.cmdStatus.value_or(status), fault.length.value_or(static_cast<std::uint32_t>(payload.size())));
  response.insert(response.end(), payload.begin(), payload.end());
  if (fault.cutAfter && *fault.cutAfter < response.size()) response.resize(*fault.cutAfter);
  outgoing_.insert(outgoing_.end(), response.begin(), response.end());
}

std::uint32_t ReferenceChecksum(const std::uint8_t* bytes, std::size_t len) {
  // End-around carry after every word: the same sum by a different road.
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < len; i += 2) {
    const std::uint32_t word = i + 1 < len ? (std::uint32_t{bytes[i]} << 8 | bytes[i + 1]) : bytes[i];
    sum += word;
    if (sum > 0xFFFF) sum = (sum & 0xFFFF) + 1;
  }
  return 0xFFFF0000u | (~sum & 0xFFFFu);
}

std::uint16_t EepromChecksum(const EepromBytes& eeprom) {
  return static_cast<std::uint16_t>(ReferenceChecksum(eeprom.data() + 2, eeprom.size() - 2));
}

void SetStoredChecksum(EepromBytes& eeprom, std::uint16_t checksum) {
  eeprom[0] = static_cast<std::uint8_t>(checksum >> 8);
  eeprom[1] = static_cast<std::uint8_t>(checksum);
}

EepromBytes MakeValidEeprom() {
  EepromBytes eeprom{};
  for (std::size_t i = 2; i < eeprom.size(); ++i) {
    eeprom[i] = static_cast<std::uint8_t>((i * 37 + 11) & 0xFF);
  }
  eeprom[0x1C] = 0x03;
  eeprom[0x1D] = 0xF0;
  const char name[] = "Quorvane-Delsit";
  std::memset(&eeprom[0x33], 0, 25);
  std::memcpy(&eeprom[0x33], name, sizeof name - 1);
  SetStoredChecksum(eeprom, EepromChecksum(eeprom));
  return eeprom;
}

Bytes UelBytes() { return Bytes(std::begin(kUel), std::end(kUel)); }

Bytes EnterLanguageBytes() { return Bytes(kEnterLanguage, kEnterLanguage + kEnterLanguageSize); }

Bytes CommandBytes(std::uint16_t cmdID, std::uint32_t length, std::uint32_t readLength) {
  Bytes out;
  Put16(out, 0x00AC);
  Put16(out, cmdID);
  Put32(out, length);
  Put32(out, readLength);
  Put32(out, 0);
  return out;
}

Bytes ResponseHeaderBytes(std::uint16_t prefix, std::uint16_t cmdID, std::uint16_t cmdStatus,
                          std::uint32_t length) {
  Bytes out;
  Put16(out, prefix);
  Put16(out, cmdID);
  Put16(out, cmdStatus);
  Put32(out, length);
  out.resize(kHeaderSize, 0);
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes CheckOnlyStream() {
  return Concat({UelBytes(), EnterLanguageBytes(), CommandBytes(0x0003, 0, 320), UelBytes()});
}

Bytes RepairStream(const EepromBytes& repaired) {
  Bytes payload(repaired.begin(), repaired.end());
  Put32(payload, ReferenceChecksum(repaired.data(), repaired.size()));
  return Concat({CheckOnlyStream(), UelBytes(), EnterLanguageBytes(), CommandBytes(0xEC0D, 324, 0),
                 payload, UelBytes(), EnterLanguageBytes(), CommandBytes(0x0003, 0, 2),
                 UelBytes()});
}

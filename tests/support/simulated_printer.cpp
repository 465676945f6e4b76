#include "support/simulated_printer.h"

#include "protocol/byte_order.h"

namespace {

constexpr uint16_t kAclPrefix = 0x00AC;
constexpr uint16_t kReadEeprom = 0x0003;
constexpr uint16_t kWriteEeprom = 0xEC0D;
constexpr uint16_t kStatusOk = 0x0001;
constexpr uint16_t kStatusRefused = 0x0002;
constexpr uint32_t kTrailerSize = 4;

// The compiler's own memset and memcpy: freestanding code may call them (the kernel exports
// both), and the fuzz targets' instrumentation does not count every byte.
void Fill(uint8_t* to, uint8_t value, uint32_t count) { __builtin_memset(to, value, count); }

void Copy(uint8_t* to, const uint8_t* from, uint32_t count) {
  if (count != 0) __builtin_memcpy(to, from, count);
}

void OnElement(void* context, const AclElement& element) {
  auto* printer = static_cast<SimulatedPrinter*>(context);
  if (element.kind == AclElementKind::kCommand) {
    if (printer->commandCount < kMaxRecordedCommands) printer->commands[printer->commandCount] = element.command;
    ++printer->commandCount;
    // A WriteEEPROM is answered once its payload is in.
    if (element.command.cmdID != kWriteEeprom) printer->Answer(element.command, nullptr, 0);
    if (element.command.cmdID == kWriteEeprom && printer->stallAtPayload) printer->stalled = true;
  } else if (element.kind == AclElementKind::kPayload) {
    printer->Answer(element.command, element.bytes, element.fullSize);
  }
}

}  // namespace

void KnobBytes::Set(const uint8_t* from, uint32_t count) {
  set = true;
  size = count < kFaultBytesSize ? count : kFaultBytesSize;
  Copy(bytes, from, size);
}

void SimulatedPrinter::Reset(const uint8_t* image) {
  Fill(reinterpret_cast<uint8_t*>(this), 0, sizeof *this);
  Copy(eeprom, image, kPrinterEepromSize);
  writeTakes = true;
  silentFrom = kNever;
  goneAt = kNever;
  goneAfter = kNever;
  stallAfter = kNever;
  AclParserInit(&parser, OnElement, this);
}

void SimulatedPrinter::Receive(const uint8_t* bytes, uint32_t len) {
  if (gone || stalled) return;
  for (uint32_t i = 0; i < len && receivedCount + i < kReceivedSize; ++i) received[receivedCount + i] = bytes[i];
  receivedCount += len;
  AclParserFeed(&parser, bytes, len);
}

uint32_t SimulatedPrinter::Send(uint8_t* buffer, uint32_t len) {
  if (gone) return 0;
  uint32_t n = len < outgoingCount ? len : outgoingCount;
  if (chunkNext < chunkCount) {
    if (chunks[chunkNext] < n) n = chunks[chunkNext];
    ++chunkNext;
  } else if (chunkSize != 0 && chunkSize < n) {
    n = chunkSize;
  }
  Copy(buffer, outgoing + outgoingStart, n);
  outgoingStart += n;
  outgoingCount -= n;
  AfterSend();
  return n;
}

void SimulatedPrinter::AfterSend() {
  if (outgoingCount != 0) return;
  outgoingStart = 0;
  // Everything answered so far has gone out whole.
  if (goneAfter != kNever && responses > goneAfter) gone = true;
  if (stallAfter != kNever && responses > stallAfter) stalled = true;
}

void SimulatedPrinter::Queue(const uint8_t* bytes, uint32_t len) {
  if (outgoingStart + outgoingCount + len > kOutgoingSize) {  // make room at the back
    for (uint32_t i = 0; i < outgoingCount; ++i) outgoing[i] = outgoing[outgoingStart + i];
    outgoingStart = 0;
  }
  const uint32_t room = kOutgoingSize - outgoingStart - outgoingCount;
  const uint32_t count = len < room ? len : room;
  Copy(outgoing + outgoingStart + outgoingCount, bytes, count);
  outgoingCount += count;
}

// Queues the response piece by piece, straight into the outgoing buffer (no large buffers on
// the stack: the driver's stack is small), stopping where a cut fault says.
void SimulatedPrinter::Answer(const AclCommand& command, const uint8_t* writePayload, uint32_t payloadSize) {
  static const ResponseFault kNoFault = {};
  const uint32_t number = responses++;
  if (number == goneAt) {
    gone = true;
    return;
  }
  const ResponseFault& fault = number < kMaxFaultedResponses ? faults[number] : kNoFault;
  if (fault.silent || number >= silentFrom) return;

  uint16_t status = kStatusOk;
  const uint8_t* data = nullptr;  // ReadEEPROM: the data bytes, then their trailer
  uint32_t dataSize = 0;
  if (command.prefix != kAclPrefix) {
    status = kStatusRefused;  // not a command this printer knows
  } else if (command.cmdID == kReadEeprom) {
    data = eeprom;
    dataSize = command.readLength < kPrinterEepromSize ? command.readLength : kPrinterEepromSize;
    if (fault.data.set) {
      data = fault.data.bytes;
      dataSize = fault.data.size;
    }
  } else if (command.cmdID == kWriteEeprom) {
    // The printer checks the transmission checksum before it touches its EEPROM.
    const bool intact = payloadSize == kPrinterEepromSize + kTrailerSize &&
                        LoadBigEndian32(writePayload + kPrinterEepromSize) ==
                            ReferenceChecksum(writePayload, kPrinterEepromSize);
    if (!intact) {
      status = kStatusRefused;
    } else if (writeTakes) {
      Copy(eeprom, writePayload, kPrinterEepromSize);
      ++eepromWrites;
    }
  } else {
    status = kStatusRefused;
  }
  uint8_t trailer[kTrailerSize];
  StoreBigEndian32(trailer, fault.trailer.Or(data != nullptr ? ReferenceChecksum(data, dataSize) : 0));
  uint32_t payloadLength = data != nullptr ? dataSize + kTrailerSize : 0;
  if (fault.payload.set) payloadLength = fault.payload.size;

  uint8_t header[kAclHeaderSize] = {};
  StoreBigEndian16(header, fault.prefix.Or(kAclPrefix));
  StoreBigEndian16(header + 2, fault.cmdID.Or(command.cmdID));
  StoreBigEndian16(header + 4, fault.cmdStatus.Or(status));
  StoreBigEndian32(header + 6, fault.length.Or(payloadLength));

  uint32_t room = fault.cutAfter.Or(kNever);
  const auto put = [&](const uint8_t* bytes, uint32_t count) {
    const uint32_t n = count < room ? count : room;
    Queue(bytes, n);
    room -= n;
  };
  put(header, kAclHeaderSize);
  if (fault.payload.set) {
    put(fault.payload.bytes, fault.payload.size);
  } else if (data != nullptr) {
    put(data, dataSize);
    put(trailer, kTrailerSize);
  }
  AfterSend();  // an empty answer has gone out whole at once
}

uint32_t ReferenceChecksum(const uint8_t* bytes, uint32_t len) {
  // End-around carry after every word: the same sum by a different road than the tool's.
  uint32_t sum = 0;
  for (uint32_t i = 0; i < len; i += 2) {
    const uint32_t word = i + 1 < len ? (uint32_t{bytes[i]} << 8 | bytes[i + 1]) : bytes[i];
    sum += word;
    if (sum > 0xFFFF) sum = (sum & 0xFFFF) + 1;
  }
  return 0xFFFF0000u | (~sum & 0xFFFFu);
}

uint16_t EepromChecksum(const uint8_t* image) {
  return static_cast<uint16_t>(ReferenceChecksum(image + 2, kPrinterEepromSize - 2));
}

void MakePresetImage(PresetImage preset, uint8_t* image) {
  for (uint32_t i = 2; i < kPrinterEepromSize; ++i) image[i] = static_cast<uint8_t>((i * 37 + 11) & 0xFF);
  image[0x1C] = 0x03;
  image[0x1D] = 0xF0;
  const char name[] = "Quorvane-Delsit";
  Fill(image + 0x33, 0, 25);
  Copy(image + 0x33, reinterpret_cast<const uint8_t*>(name), sizeof name - 1);
  if (preset == PresetImage::kOlder) {
    static const uint16_t kChanged[] = {0x60, 0x61, 0x62, 0x63, 0x80, 0xC0, 0x100};
    for (uint16_t at : kChanged) image[at] = static_cast<uint8_t>(~image[at]);
  }
  if (preset == PresetImage::kUnmarked) image[0x1D] = 0xF1;
  uint16_t checksum = EepromChecksum(image);
  if (preset == PresetImage::kCorrupt || preset == PresetImage::kInsane) checksum = checksum == 0x1234 ? 0x4321 : 0x1234;
  StoreBigEndian16(image, checksum);
  if (preset == PresetImage::kInsane) image[0x1D] = 0xF1;
}

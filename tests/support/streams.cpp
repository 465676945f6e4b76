#include "support/streams.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/byte_order.h"

namespace {

void Append16(Bytes& out, std::uint16_t value) {
  out.resize(out.size() + 2);
  StoreBigEndian16(&out[out.size() - 2], value);
}

void Append32(Bytes& out, std::uint32_t value) {
  out.resize(out.size() + 4);
  StoreBigEndian32(&out[out.size() - 4], value);
}

}  // namespace

EepromBytes MakeImage(PresetImage preset) {
  EepromBytes image{};
  MakePresetImage(preset, image.data());
  return image;
}

void SetStoredChecksum(EepromBytes& eeprom, std::uint16_t checksum) { StoreBigEndian16(eeprom.data(), checksum); }

Bytes UelBytes() { return Bytes(kUelBytes, kUelBytes + kUelSize); }

Bytes EnterLanguageBytes() { return Bytes(kEnterLanguageBytes, kEnterLanguageBytes + kEnterLanguageSize); }

Bytes CommandBytes(std::uint16_t cmdID, std::uint32_t length, std::uint32_t readLength) {
  Bytes out;
  Append16(out, 0x00AC);
  Append16(out, cmdID);
  Append32(out, length);
  Append32(out, readLength);
  Append32(out, 0);
  return out;
}

Bytes ResponseHeaderBytes(std::uint16_t prefix, std::uint16_t cmdID, std::uint16_t cmdStatus,
                          std::uint32_t length) {
  Bytes out;
  Append16(out, prefix);
  Append16(out, cmdID);
  Append16(out, cmdStatus);
  Append32(out, length);
  out.resize(kAclHeaderSize, 0);
  return out;
}

Bytes WithTrailer(const Bytes& data) {
  Bytes out = data;
  Append32(out, ReferenceChecksum(data.data(), static_cast<std::uint32_t>(data.size())));
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
  return Concat({CheckOnlyStream(), UelBytes(), EnterLanguageBytes(), CommandBytes(0xEC0D, 324, 0),
                 WithTrailer(Bytes(repaired.begin(), repaired.end())), UelBytes(), EnterLanguageBytes(),
                 CommandBytes(0x0003, 0, 2), UelBytes()});
}

bool ReadFileBytes(const char* path, Bytes* bytes) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  bytes->clear();
  std::uint8_t block[4096];
  std::size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes->insert(bytes->end(), block, block + got);
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

bool WriteFileBytes(const char* path, const std::uint8_t* bytes, std::size_t size) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  // An empty vector's data() may be null, which fwrite must not be given even for 0 bytes.
  const bool ok = size == 0 || std::fwrite(bytes, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

bool LoadEepromImage(const char* presetOrFile, EepromBytes* image) {
  const char* const names[] = {"valid", "corrupt", "insane", "older", "unmarked"};
  const PresetImage presets[] = {PresetImage::kValid, PresetImage::kCorrupt, PresetImage::kInsane,
                                 PresetImage::kOlder, PresetImage::kUnmarked};
  for (std::size_t i = 0; i < 5; ++i) {
    if (std::strcmp(presetOrFile, names[i]) == 0) {
      *image = MakeImage(presets[i]);
      return true;
    }
  }
  Bytes bytes;
  if (!ReadFileBytes(presetOrFile, &bytes) || bytes.size() != kPrinterEepromSize) return false;
  std::copy(bytes.begin(), bytes.end(), image->begin());
  return true;
}

Bytes ReceivedBytes(const SimulatedPrinter& printer) {
  return Bytes(printer.received, printer.received + std::min(printer.receivedCount, kReceivedSize));
}

EepromBytes EepromOf(const SimulatedPrinter& printer) {
  EepromBytes image{};
  std::copy_n(printer.eeprom, kPrinterEepromSize, image.begin());
  return image;
}

void Queue(SimulatedPrinter& printer, const Bytes& bytes) {
  printer.Queue(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

void SetChunks(SimulatedPrinter& printer, std::initializer_list<std::uint32_t> sizes) {
  printer.chunkCount = 0;
  printer.chunkNext = 0;
  for (std::uint32_t size : sizes) {
    if (printer.chunkCount < kMaxChunks) printer.chunks[printer.chunkCount++] = size;
  }
}

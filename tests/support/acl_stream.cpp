#include "support/acl_stream.h"

#include "protocol/byte_order.h"

const uint8_t kUelBytes[kUelSize] = {0x1B, '%', '-', '1', '2', '3', '4', '5', 'X'};
const uint8_t kEnterLanguageBytes[kEnterLanguageSize] = {'@', 'P', 'J', 'L', ' ', 'E', 'N', 'T', 'E',
                                                         'R', ' ', 'L', 'A', 'N', 'G', 'U', 'A', 'G',
                                                         'E', '=', 'A', 'C', 'L', '\r', '\n'};

namespace {

constexpr uint16_t kWriteEeprom = 0xEC0D;

// How many leading held bytes match `pattern`.
uint32_t MatchLength(const AclStreamParser* p, const uint8_t* pattern, uint32_t size) {
  uint32_t n = 0;
  while (n < size && n < p->heldCount && p->held[n] == pattern[n]) ++n;
  return n;
}

void Emit(AclStreamParser* p, AclElementKind kind, const uint8_t* bytes, uint32_t size) {
  AclElement element{kind, bytes, size, size, AclCommand{0, 0, 0, 0}};
  if (kind == AclElementKind::kCommand) element.command = AclCommandAt(bytes);
  p->onElement(p->context, element);
}

void EmitPayload(AclStreamParser* p) {
  const uint32_t kept = p->payloadTaken < kAclKeptPayload ? p->payloadTaken : kAclKeptPayload;
  const AclElement element{AclElementKind::kPayload, p->payload, kept, p->payloadTaken, p->payloadFor};
  p->inPayload = false;
  p->onElement(p->context, element);
}

// Drops `count` held bytes from the front; the caller has handed them on already.
void DropHeld(AclStreamParser* p, uint32_t count) {
  for (uint32_t i = count; i < p->heldCount; ++i) p->held[i - count] = p->held[i];
  p->heldCount -= count;
}

// Hands on every element that the held bytes complete; keeps what may still become one.
void ParseHeld(AclStreamParser* p) {
  while (p->heldCount > 0 && !p->inPayload) {
    // The exit-language sequence is understood in either personality.
    const uint32_t uel = MatchLength(p, kUelBytes, kUelSize);
    if (uel == kUelSize) {
      Emit(p, AclElementKind::kUel, p->held, kUelSize);
      DropHeld(p, kUelSize);
      p->acl = false;
      continue;
    }
    if (uel == p->heldCount) return;  // maybe the start of one

    if (!p->acl) {
      const uint32_t enter = MatchLength(p, kEnterLanguageBytes, kEnterLanguageSize);
      if (enter == kEnterLanguageSize) {
        Emit(p, AclElementKind::kEnterLanguage, p->held, kEnterLanguageSize);
        DropHeld(p, kEnterLanguageSize);
        p->acl = true;
        continue;
      }
      if (enter == p->heldCount) return;
      Emit(p, AclElementKind::kOther, p->held, 1);  // PJL the printer does not care about
      DropHeld(p, 1);
      continue;
    }

    if (p->heldCount < kAclHeaderSize) return;
    Emit(p, AclElementKind::kCommand, p->held, kAclHeaderSize);
    const AclCommand command = AclCommandAt(p->held);
    DropHeld(p, kAclHeaderSize);
    if (command.cmdID == kWriteEeprom) {
      p->inPayload = true;
      p->payloadFor = command;
      p->payloadTaken = 0;
      if (command.length == 0) EmitPayload(p);
    }
  }
}

}  // namespace

AclCommand AclCommandAt(const uint8_t* header) {
  return AclCommand{LoadBigEndian16(header), LoadBigEndian16(header + 2), LoadBigEndian32(header + 4),
                    LoadBigEndian32(header + 8)};
}

void AclParserInit(AclStreamParser* parser, AclElementHandler onElement, void* context) {
  parser->onElement = onElement;
  parser->context = context;
  parser->acl = false;
  parser->heldCount = 0;
  parser->inPayload = false;
  parser->payloadTaken = 0;
}

void AclParserFeed(AclStreamParser* p, const uint8_t* bytes, uint32_t size) {
  uint32_t at = 0;
  while (at < size) {
    if (p->inPayload) {
      // Payload bytes are taken as they come: no element starts inside a payload.
      const uint32_t wanted = p->payloadFor.length - p->payloadTaken;
      const uint32_t take = size - at < wanted ? size - at : wanted;
      for (uint32_t i = 0; i < take; ++i) {
        if (p->payloadTaken + i < kAclKeptPayload) p->payload[p->payloadTaken + i] = bytes[at + i];
      }
      p->payloadTaken += take;
      at += take;
      if (p->payloadTaken == p->payloadFor.length) EmitPayload(p);
      continue;
    }
    p->held[p->heldCount++] = bytes[at++];
    // Held bytes never outgrow the buffer: the longest element that can wait is 25 bytes.
    ParseHeld(p);
    if (p->inPayload && p->heldCount > 0) {  // bytes after a WriteEEPROM header are its payload
      uint8_t rest[kEnterLanguageSize];
      const uint32_t count = p->heldCount;
      for (uint32_t i = 0; i < count; ++i) rest[i] = p->held[i];
      p->heldCount = 0;
      AclParserFeed(p, rest, count);
    }
  }
}

void AclParserFinish(AclStreamParser* p) {
  if (p->inPayload) EmitPayload(p);
  for (uint32_t i = 0; i < p->heldCount; ++i) Emit(p, AclElementKind::kOther, p->held + i, 1);
  p->heldCount = 0;
}

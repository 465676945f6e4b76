// The byte stream from the host as the printer takes it apart: PJL exit-language sequences,
// ENTER LANGUAGE lines, 16-byte ACL command headers, and the payload that follows a WriteEEPROM
// header. The one parser of that stream: the simulated printer answers by it, the printer
// server describes received streams with it, the fuzz oracle judges what the tool sent with it.
//
// Freestanding (no library, no allocation), so that the same source also builds into the
// simulated printer driver that wine loads.
#ifndef EEPROMFIX_TESTS_SUPPORT_ACL_STREAM_H
#define EEPROMFIX_TESTS_SUPPORT_ACL_STREAM_H

#include <stddef.h>
#include <stdint.h>

constexpr uint32_t kAclHeaderSize = 16;
constexpr uint32_t kUelSize = 9;
constexpr uint32_t kEnterLanguageSize = 25;
// Payload bytes kept for one WriteEEPROM; a longer announced payload is taken and counted, but
// only this much of it is kept.
constexpr uint32_t kAclKeptPayload = 1024;

extern const uint8_t kUelBytes[kUelSize];             // ESC "%-12345X"
extern const uint8_t kEnterLanguageBytes[kEnterLanguageSize];  // "@PJL ENTER LANGUAGE=ACL\r\n"

enum class AclElementKind : uint8_t {
  kUel,            // the exit-language sequence: back to PJL
  kEnterLanguage,  // the ENTER LANGUAGE line, in PJL: into ACL
  kCommand,        // 16 header bytes, in ACL
  kPayload,        // the payload that a WriteEEPROM header announced, whole or (at the end) cut
  kOther,          // one byte that is none of these
};

// A command header, fields in host order.
struct AclCommand {
  uint16_t prefix;
  uint16_t cmdID;
  uint32_t length;
  uint32_t readLength;
};

struct AclElement {
  AclElementKind kind;
  const uint8_t* bytes;  // the element's bytes (kPayload: those kept, at most kAclKeptPayload)
  uint32_t size;         // bytes at `bytes`
  uint32_t fullSize;     // kPayload: payload bytes taken, kept or not; else `size`
  AclCommand command;    // kCommand: the header; kPayload: the header it belongs to
};

using AclElementHandler = void (*)(void* context, const AclElement& element);

struct AclStreamParser {
  AclElementHandler onElement;
  void* context;
  bool acl;                 // in the ACL personality (after ENTER LANGUAGE, until a UEL)
  uint8_t held[kEnterLanguageSize];  // bytes that may still become an element
  uint32_t heldCount;
  bool inPayload;           // taking the payload of `payloadFor`
  AclCommand payloadFor;
  uint32_t payloadTaken;
  uint8_t payload[kAclKeptPayload];
};

void AclParserInit(AclStreamParser* parser, AclElementHandler onElement, void* context);

// Takes bytes in order; hands each element to the handler as soon as it is complete.
void AclParserFeed(AclStreamParser* parser, const uint8_t* bytes, uint32_t size);

// The stream ended: bytes held back come out as kOther, an unfinished payload as a cut kPayload.
void AclParserFinish(AclStreamParser* parser);

// Reads a command header (16 bytes, big-endian fields).
AclCommand AclCommandAt(const uint8_t* header);

#endif  // EEPROMFIX_TESTS_SUPPORT_ACL_STREAM_H

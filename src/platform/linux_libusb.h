// A USB printer interface driven through libusb: bulk transfers with the seam's bounds and
// errno codes. Free of sysfs, so that a backend for a system without usblp can use it too.
#ifndef EEPROMFIX_PLATFORM_LINUX_LIBUSB_H
#define EEPROMFIX_PLATFORM_LINUX_LIBUSB_H

#include <cstdint>

// The printer interface of a device and its bidirectional alternate setting.
struct LibusbPrinterInterface {
  std::uint8_t number;        // bInterfaceNumber
  std::uint8_t altSetting;    // the bidirectional one (protocol 2)
  std::uint8_t endpointIn;    // bulk IN address
  std::uint8_t endpointOut;   // bulk OUT address
  std::uint16_t maxPacketIn;  // of the bulk IN endpoint
  bool selectAltSetting;      // the device's current setting is another one
};

struct LibusbPrinter;

// Opens the printer whose usbfs node `fd` is open for reading and writing, without
// enumerating, and claims `chosen`; no kernel driver is detached. Returns nullptr with errno
// set (EBUSY: another program or driver holds the interface). The caller keeps `fd` and closes
// it after LibusbPrinterClose.
LibusbPrinter* LibusbPrinterOpen(int fd, const LibusbPrinterInterface& chosen);

// One bulk OUT transfer of `len` bytes, bounded at `timeoutMs`. `*written` is what went out,
// also when it fails (errno set; ETIMEDOUT when the time ran out).
bool LibusbPrinterWrite(LibusbPrinter* printer, const std::uint8_t* bytes, std::uint32_t len,
                        std::uint32_t timeoutMs, std::uint32_t* written);

// At most `len` bytes: what an earlier transfer brought beyond its request, else one bulk IN
// transfer that waits at most `waitMs` (nothing then is success with `*got` = 0). `*got` is
// what was handed out, also when it fails (errno set).
bool LibusbPrinterRead(LibusbPrinter* printer, std::uint8_t* buffer, std::uint32_t len,
                       std::uint32_t waitMs, std::uint32_t* got);

// Releases the interface and ends libusb's use of the device; the descriptor stays open.
void LibusbPrinterClose(LibusbPrinter* printer);

// The errno code for a libusb error code (LIBUSB_ERROR_*).
int ErrnoOfLibusbError(int error);

#endif  // EEPROMFIX_PLATFORM_LINUX_LIBUSB_H

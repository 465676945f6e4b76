// How the Linux backend finds USB printers: the usblp driver's entries under /sys/class/usbmisc.
// Declared apart from the seam so that its tests can point it at a folder of their own.
#ifndef EEPROMFIX_PLATFORM_LINUX_USBMISC_H
#define EEPROMFIX_PLATFORM_LINUX_USBMISC_H

#include <cstddef>
#include <cstdint>

constexpr const char* kUsbmiscFolder = "/sys/class/usbmisc";

// The most printers one snapshot holds; usblp itself numbers at most 16.
constexpr std::size_t kMaxPrinters = 256;

// Lists the printer numbers N of the entries "lpN" in `folder`, ascending (lp2 before lp10).
// A missing folder gives 0 printers. Returns -1 with errno set when the folder cannot be read.
int ListUsbPrinters(const char* folder, std::uint32_t* numbers, std::size_t capacity);

// The device path of printer N: "/dev/" and the DEVNAME= value of `folder`/lpN/uevent, or
// "/dev/usb/lpN" when there is none. Returns the path's length; a path that does not fit `size`
// is cut (the length says so).
std::size_t UsbPrinterPath(const char* folder, std::uint32_t number, char* path, std::size_t size);

#endif  // EEPROMFIX_PLATFORM_LINUX_USBMISC_H

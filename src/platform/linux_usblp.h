// The usblp route of the Linux backend: the kernel driver's printers, found through their
// entries under /sys/class/usbmisc and used through their character devices with poll, read,
// write and close only (so a raw pty serves as well in tests), every wait bounded. The listing
// takes a folder so that its tests can point it at one of their own.
#ifndef EEPROMFIX_PLATFORM_LINUX_USBLP_H
#define EEPROMFIX_PLATFORM_LINUX_USBLP_H

#include <cstddef>
#include <cstdint>

constexpr const char* kUsbmiscFolder = "/sys/class/usbmisc";

// Lists the printer numbers N of the entries "lpN" in `folder`, ascending (lp2 before lp10).
// A missing folder gives 0 printers. Returns -1 with errno set when the folder cannot be read.
int ListUsblpPrinters(const char* folder, std::uint32_t* numbers, std::size_t capacity);

// The device path of printer N: "/dev/" and the DEVNAME= value of `folder`/lpN/uevent, or
// "/dev/usb/lpN" when there is none. Returns the path's length; a path that does not fit `size`
// is cut (the length says so).
std::size_t UsblpPrinterPath(const char* folder, std::uint32_t number, char* path,
                             std::size_t size);

// Opens the character device at `path` for reading and writing. Returns its descriptor, or -1
// with errno set.
int UsblpOpen(const char* path);

// One write of `len` bytes, interrupted after `timeoutMs`. `*written` is what went out. False
// with errno set when it fails (ETIMEDOUT when the time ran out, EINTR when another signal
// ended it); `*outstanding` then says whether usblp may still hold its transfer (an interrupted
// write). SIGTSTP, SIGTTIN and SIGTTOU wait until the write has ended.
bool UsblpWrite(int fd, const std::uint8_t* bytes, std::uint32_t len, std::uint32_t timeoutMs,
                std::uint32_t* written, bool* outstanding);

// At most `len` bytes, waiting at most `waitMs` for the first (nothing then is success with
// `*got` = 0). False with errno set when it fails (ENODEV: the device hung up).
bool UsblpRead(int fd, std::uint8_t* buffer, std::uint32_t len, std::uint32_t waitMs,
               std::uint32_t* got);

#endif  // EEPROMFIX_PLATFORM_LINUX_USBLP_H

// How the Linux backend finds USB printers that usblp does not hold: sysfs's USB devices, read
// without opening any device. Declared apart from the seam so that its tests can point it at a
// folder of their own.
#ifndef EEPROMFIX_PLATFORM_LINUX_USBFS_H
#define EEPROMFIX_PLATFORM_LINUX_USBFS_H

#include <cstddef>
#include <cstdint>

#include "platform/linux_libusb.h"

constexpr const char* kUsbDevicesFolder = "/sys/bus/usb/devices";

// The path of a device's usbfs node, from its bus and device numbers.
constexpr const char* kUsbfsPathFormat = "/dev/bus/usb/%03u/%03u";

// A device's usbfs node, /dev/bus/usb/BBB/DDD.
struct UsbfsNode {
  std::uint32_t bus;     // busnum
  std::uint32_t device;  // devnum
};

// In `descriptors` (sysfs's file: the device descriptor, then each configuration's), the first
// interface of configuration `configuration` that has an alternate setting of class 7
// (printer), subclass 1, protocol 2 (bidirectional) with a bulk IN and a bulk OUT endpoint:
// that setting, its endpoints and the numbers of every printer-class interface of the
// configuration (`printerInterfaces`, a bit per interface number below 32). False when none.
bool ChoosePrinterInterface(const std::uint8_t* descriptors, std::size_t size,
                            std::uint8_t configuration, LibusbPrinterInterface* chosen,
                            std::uint32_t* printerInterfaces);

// Lists the devices in `folder` (entries named BUS-PORT[.PORT...]) whose active configuration
// has such an interface and none of whose printer interfaces usblp holds, in bus and port
// order. Returns the count (at most `capacity`), or -1 with errno set when the folder cannot be
// read; a missing folder lists nothing.
int ListUsbfsPrinters(const char* folder, UsbfsNode* nodes, std::size_t capacity);

// The printer interface of the listed device `node` to claim, with whether its alternate
// setting must be selected. False, with errno set, when the device is no printer of that list
// (ENODEV), or usblp holds it (EBUSY).
bool FindUsbfsPrinter(const char* folder, UsbfsNode node, LibusbPrinterInterface* chosen);

#endif  // EEPROMFIX_PLATFORM_LINUX_USBFS_H

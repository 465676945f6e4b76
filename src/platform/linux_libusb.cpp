#include "platform/linux_libusb.h"

#include <libusb.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

struct LibusbPrinter {
  libusb_context* context;
  libusb_device_handle* handle;
  LibusbPrinterInterface chosen;
  // A bulk IN transfer must take whole packets: a shorter buffer loses the rest of a packet
  // (an overflow). What it brought beyond the request waits here for the next read.
  std::uint8_t staged[4096];
  std::uint32_t stagedAt;
  std::uint32_t stagedCount;
};

namespace {

// Fails the call with the errno code of a libusb error.
bool Fail(int error) {
  errno = ErrnoOfLibusbError(error);
  return false;
}

// A stalled endpoint: its halt is cleared once, the transfer fails with EPIPE (the printer
// counts as gone, so that the next transfer does not stall again the same way).
bool FailStalled(LibusbPrinter* printer, std::uint8_t endpoint) {
  libusb_clear_halt(printer->handle, endpoint);
  errno = EPIPE;
  return false;
}

std::uint32_t HandOut(LibusbPrinter* printer, std::uint8_t* buffer, std::uint32_t len) {
  const std::uint32_t count = len < printer->stagedCount ? len : printer->stagedCount;
  std::memcpy(buffer, printer->staged + printer->stagedAt, count);
  printer->stagedAt += count;
  printer->stagedCount -= count;
  return count;
}

}  // namespace

int ErrnoOfLibusbError(int error) {
  switch (error) {
    case LIBUSB_ERROR_IO: return EIO;
    case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
    case LIBUSB_ERROR_ACCESS: return EACCES;
    case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
    case LIBUSB_ERROR_NOT_FOUND: return ENOENT;
    case LIBUSB_ERROR_BUSY: return EBUSY;
    case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
    case LIBUSB_ERROR_OVERFLOW: return EOVERFLOW;
    case LIBUSB_ERROR_PIPE: return EPIPE;
    case LIBUSB_ERROR_INTERRUPTED: return EINTR;
    case LIBUSB_ERROR_NO_MEM: return ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED: return EOPNOTSUPP;
    default: return EIO;
  }
}

LibusbPrinter* LibusbPrinterOpen(int fd, const LibusbPrinterInterface& chosen) {
  if (chosen.maxPacketIn == 0 || chosen.maxPacketIn > sizeof(LibusbPrinter::staged)) {
    errno = EINVAL;
    return nullptr;
  }
  LibusbPrinter* printer = static_cast<LibusbPrinter*>(std::calloc(1, sizeof(LibusbPrinter)));
  if (printer == nullptr) return nullptr;
  printer->chosen = chosen;
  // The device is known already: libusb need not look at every other one (and cannot, where
  // there is no usbfs to scan). The option holds for the whole process.
  libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
  int result = libusb_init(&printer->context);
  if (result == 0) {
    result = libusb_wrap_sys_device(printer->context, fd, &printer->handle);
    if (result == 0) {
      result = libusb_claim_interface(printer->handle, chosen.number);
      // Setting it again when it is current would reset the printer's endpoints.
      if (result == 0 && chosen.selectAltSetting) {
        result = libusb_set_interface_alt_setting(printer->handle, chosen.number, chosen.altSetting);
        if (result != 0) libusb_release_interface(printer->handle, chosen.number);
      }
      if (result != 0) libusb_close(printer->handle);
    }
    if (result != 0) libusb_exit(printer->context);
  }
  if (result != 0) {
    std::free(printer);
    Fail(result);
    return nullptr;
  }
  return printer;
}

bool LibusbPrinterWrite(LibusbPrinter* printer, const std::uint8_t* bytes, std::uint32_t len,
                        std::uint32_t timeoutMs, std::uint32_t* written) {
  int sent = 0;
  // One transfer, never repeated: what timed out may still have reached the printer in part.
  const int result = libusb_bulk_transfer(printer->handle, printer->chosen.endpointOut,
                                          const_cast<std::uint8_t*>(bytes), static_cast<int>(len),
                                          &sent, timeoutMs);
  *written = static_cast<std::uint32_t>(sent);
  if (result == LIBUSB_ERROR_PIPE) return FailStalled(printer, printer->chosen.endpointOut);
  return result == 0 || Fail(result);
}

bool LibusbPrinterRead(LibusbPrinter* printer, std::uint8_t* buffer, std::uint32_t len,
                       std::uint32_t waitMs, std::uint32_t* got) {
  *got = 0;
  if (len == 0) return true;
  if (printer->stagedCount > 0) {
    *got = HandOut(printer, buffer, len);
    return true;
  }
  const std::uint32_t packet = printer->chosen.maxPacketIn;
  const std::uint32_t most = static_cast<std::uint32_t>(sizeof printer->staged) / packet * packet;
  const std::uint32_t wanted = (len + packet - 1) / packet * packet;
  int arrived = 0;
  const int result = libusb_bulk_transfer(printer->handle, printer->chosen.endpointIn,
                                          printer->staged, static_cast<int>(wanted < most ? wanted : most),
                                          &arrived, waitMs);
  printer->stagedAt = 0;
  printer->stagedCount = static_cast<std::uint32_t>(arrived);
  *got = HandOut(printer, buffer, len);
  if (result == LIBUSB_ERROR_PIPE) return FailStalled(printer, printer->chosen.endpointIn);
  // A wait that ran out is no failure: what came (perhaps nothing) is the answer so far.
  return result == 0 || result == LIBUSB_ERROR_TIMEOUT || Fail(result);
}

void LibusbPrinterClose(LibusbPrinter* printer) {
  libusb_release_interface(printer->handle, printer->chosen.number);
  libusb_close(printer->handle);
  libusb_exit(printer->context);
  std::free(printer);
}

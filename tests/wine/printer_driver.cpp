// The simulated USB printer as a kernel driver that wine loads: a root-enumerated PnP device that
// offers the USB printer interface and serves the project's simulated printer. A write feeds the
// printer; a read completes at once with what the printer has sent, possibly nothing, as the
// printer class driver does, or waits while there is nothing (knob ReadsWait). A stalled
// printer holds the write until it is cancelled, the file closed or the printer unplugged. Every
// open starts a fresh printer from the state in the device's hardware key and records what
// happens there (printer_state.h). Once the printer is unplugged, every transfer fails
// (STATUS_DEVICE_NOT_CONNECTED or the knob GoneStatus) until the next open.

// mingw-w64's wdm.h defines these two again after intrin.h did, which C++ refuses: keep its own.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

#include "support/simulated_printer.h"
#include "wine/printer_state.h"

namespace {

// GUID_DEVINTERFACE_USBPRINT
const GUID kUsbPrintInterface = {0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};

// The device extension. The printer is large (about 32 KiB): it lives here, never on the stack.
struct Printer {
  DEVICE_OBJECT* lower;
  DEVICE_OBJECT* pdo;
  UNICODE_STRING link;    // the interface's symbolic link
  HANDLE key;             // the hardware key, while the device is open
  uint32_t storedWrites;  // the model's eepromWrites when the EEPROM was last stored
  ULONGLONG openedAt;     // interrupt time of the open, in 100 ns
  // The driver's own knobs (printer_state.h).
  bool readsWait;
  bool cancelIgnored;
  uint32_t unplugAfterMs;
  NTSTATUS goneStatus;
  // The one transfer held pending, and the timer that unplugs the printer. Guarded by the cancel
  // spin lock, which the timer's DPC (another thread in wine) takes as well.
  IRP* held;
  bool unplugSet;
  KTIMER unplugTimer;
  KDPC unplugDpc;
  alignas(8) uint8_t value[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + kFaultBytesSize];  // queries
  SimulatedPrinter model;
};

Printer* PrinterOf(DEVICE_OBJECT* device) { return static_cast<Printer*>(device->DeviceExtension); }

NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// --- The hardware key --------------------------------------------------------------------------

// The value `name` if it has `type`; nullptr when it is absent, of another type or too long.
const KEY_VALUE_PARTIAL_INFORMATION* QueryValue(Printer* p, const wchar_t* name, ULONG type) {
  UNICODE_STRING string;
  RtlInitUnicodeString(&string, name);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(p->value);
  ULONG size = 0;
  const NTSTATUS status = ZwQueryValueKey(p->key, &string, KeyValuePartialInformation, info, sizeof p->value, &size);
  if (status == STATUS_BUFFER_OVERFLOW) DbgPrint("eepromfix printer: value %ws is too long, ignored\n", name);
  return NT_SUCCESS(status) && info->Type == type ? info : nullptr;
}

bool QueryNumber(Printer* p, const wchar_t* name, uint32_t* number) {
  const KEY_VALUE_PARTIAL_INFORMATION* info = QueryValue(p, name, REG_DWORD);
  if (info == nullptr || info->DataLength != sizeof(uint32_t)) return false;
  const uint8_t* d = info->Data;
  *number = uint32_t{d[0]} | uint32_t{d[1]} << 8 | uint32_t{d[2]} << 16 | uint32_t{d[3]} << 24;
  return true;
}

void SetValue(Printer* p, const wchar_t* name, ULONG type, const void* data, ULONG size) {
  UNICODE_STRING string;
  RtlInitUnicodeString(&string, name);
  const NTSTATUS status = ZwSetValueKey(p->key, &string, 0, type, const_cast<void*>(data), size);
  // Only a test reads the record; it finds the gap, the printer carries on.
  if (!NT_SUCCESS(status)) DbgPrint("eepromfix printer: storing %ws failed, %#lx\n", name, status);
}

void SetNumber(Printer* p, const wchar_t* name, uint32_t number) {
  SetValue(p, name, REG_DWORD, &number, sizeof number);
}

void ApplyNumberKnob(Printer* p, uint32_t knob, uint32_t value) {
  SimulatedPrinter& model = p->model;
  switch (knob) {
    case kWriteTakes: model.writeTakes = value != 0; break;
    case kSilentFrom: model.silentFrom = value; break;
    case kGoneAt: model.goneAt = value; break;
    case kGoneAfter: model.goneAfter = value; break;
    case kChunkSize: model.chunkSize = value; break;
    case kStallAfter: model.stallAfter = value; break;
    case kReadsWait: p->readsWait = value != 0; break;
    case kUnplugAfterMs: p->unplugAfterMs = value; break;
    case kGoneStatus: p->goneStatus = static_cast<NTSTATUS>(value); break;
    case kCancelIgnored: p->cancelIgnored = value != 0; break;
    case kStallAtPayload: model.stallAtPayload = value != 0; break;
    default: break;
  }
}

// A fresh printer from the stored image and knobs. Fails without an image: a printer without an
// EEPROM is a broken test setup, not something to serve.
NTSTATUS LoadState(Printer* p) {
  const KEY_VALUE_PARTIAL_INFORMATION* image = QueryValue(p, PRINTER_EEPROM, REG_BINARY);
  if (image == nullptr || image->DataLength != kPrinterEepromSize) {
    DbgPrint("eepromfix printer: no %u-byte EEPROM image stored\n", kPrinterEepromSize);
    return STATUS_DEVICE_NOT_READY;
  }
  SimulatedPrinter& model = p->model;
  model.Reset(image->Data);
  p->readsWait = false;
  p->cancelIgnored = false;
  p->unplugAfterMs = 0;
  p->goneStatus = STATUS_DEVICE_NOT_CONNECTED;
  p->unplugSet = false;
  uint32_t number = 0;
  for (uint32_t knob = 0; knob < kNumberKnobCount; ++knob) {
    if (QueryNumber(p, kNumberKnobNames[knob], &number)) ApplyNumberKnob(p, knob, number);
  }
  for (uint32_t response = 0; response < kMaxFaultedResponses; ++response) {
    ResponseFault& fault = model.faults[response];
    wchar_t name[kFaultNameSize];
    FaultValueName(name, response, kFaultStatus);
    if (QueryNumber(p, name, &number)) fault.cmdStatus = static_cast<uint16_t>(number);
    FaultValueName(name, response, kFaultTrailer);
    if (QueryNumber(p, name, &number)) fault.trailer = number;
    FaultValueName(name, response, kFaultData);
    const KEY_VALUE_PARTIAL_INFORMATION* data = QueryValue(p, name, REG_BINARY);
    if (data != nullptr) fault.data.Set(data->Data, data->DataLength);
  }
  p->storedWrites = 0;
  return STATUS_SUCCESS;
}

// The record after every write: the tests read it once the tool is done.
void StoreRecord(Printer* p) {
  const SimulatedPrinter& model = p->model;
  const uint32_t kept = model.receivedCount < kReceivedSize ? model.receivedCount : kReceivedSize;
  SetValue(p, PRINTER_RECEIVED, REG_BINARY, model.received, kept);
  SetNumber(p, PRINTER_RECEIVED_COUNT, model.receivedCount);
  SetNumber(p, PRINTER_RESPONSES, model.responses);
  SetNumber(p, PRINTER_EEPROM_WRITES, model.eepromWrites);
  if (model.eepromWrites != p->storedWrites) {
    SetValue(p, PRINTER_EEPROM, REG_BINARY, model.eeprom, kPrinterEepromSize);
    p->storedWrites = model.eepromWrites;
  }
}

// --- Held transfers ------------------------------------------------------------------------------

// Takes the held transfer back from its cancel routine; nullptr when there is none. Call with the
// cancel spin lock held: the cancel routine clears `held` before it lets go of the lock.
IRP* TakeHeld(Printer* p) {
  IRP* irp = p->held;
  p->held = nullptr;
  if (irp != nullptr) IoSetCancelRoutine(irp, nullptr);
  return irp;
}

void NTAPI CancelHeld(DEVICE_OBJECT* device, IRP* irp) {
  Printer* p = PrinterOf(device);
  if (p->held == irp) p->held = nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED, 0);
}

// Unplugged by the timer: the held transfer fails as every later one does.
void NTAPI Unplug(KDPC*, void* context, void*, void*) {
  auto* p = static_cast<Printer*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  p->model.gone = true;
  IRP* irp = TakeHeld(p);
  IoReleaseCancelSpinLock(irql);
  if (irp != nullptr) Complete(irp, p->goneStatus, 0);
}

// Keeps the transfer pending until it is cancelled, the file is closed or the printer goes; one at
// a time, as the tool makes them.
NTSTATUS Hold(Printer* p, IRP* irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (p->model.Gone() || p->held != nullptr) {
    IoReleaseCancelSpinLock(irql);
    return Complete(irp, p->model.Gone() ? p->goneStatus : STATUS_DEVICE_BUSY, 0);
  }
  IoMarkIrpPending(irp);
  if (!p->cancelIgnored) IoSetCancelRoutine(irp, CancelHeld);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {  // cancelled before it was held
    IoReleaseCancelSpinLock(irql);
    Complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  p->held = irp;
  if (p->unplugAfterMs != 0 && !p->unplugSet) {
    p->unplugSet = true;
    LARGE_INTEGER due;
    due.QuadPart = -10000LL * p->unplugAfterMs;  // relative, in 100 ns
    KeSetTimer(&p->unplugTimer, due, &p->unplugDpc);
  }
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

// The file goes: its held transfer ends, and the printer is not unplugged later.
void Release(Printer* p) {
  KeCancelTimer(&p->unplugTimer);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IRP* irp = TakeHeld(p);
  IoReleaseCancelSpinLock(irql);
  if (irp != nullptr) Complete(irp, STATUS_CANCELLED, 0);
}

// --- File requests -------------------------------------------------------------------------------

// A fresh printer for a new open, with the hardware key kept open until the close.
NTSTATUS Open(Printer* p) {
  // One open at a time: a second one would reset the printer under the first.
  if (p->key != nullptr) return STATUS_SHARING_VIOLATION;
  NTSTATUS status = IoOpenDeviceRegistryKey(p->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ | KEY_WRITE, &p->key);
  if (!NT_SUCCESS(status)) {
    DbgPrint("eepromfix printer: IoOpenDeviceRegistryKey failed, %#lx\n", status);
    p->key = nullptr;
    return status;
  }
  status = LoadState(p);
  if (!NT_SUCCESS(status)) {
    ZwClose(p->key);
    p->key = nullptr;
    return status;
  }
  StoreRecord(p);  // the record of the previous open goes
  p->openedAt = KeQueryInterruptTime();
  return STATUS_SUCCESS;
}

// Whether the request comes through a file whose open succeeded. wine 8.0 gives the program
// its handle even when IRP_MJ_CREATE failed, and passes that handle's requests on.
bool Opened(Printer* p, IRP* irp) { return IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext == p; }

NTSTATUS NTAPI Create(DEVICE_OBJECT* device, IRP* irp) {
  Printer* p = PrinterOf(device);
  FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  const NTSTATUS status = Open(p);
  file->FsContext = NT_SUCCESS(status) ? p : nullptr;
  return Complete(irp, status, 0);
}

NTSTATUS NTAPI Close(DEVICE_OBJECT* device, IRP* irp) {
  Printer* p = PrinterOf(device);
  if (Opened(p, irp)) {
    Release(p);
    SetNumber(p, PRINTER_OPEN_MS, static_cast<uint32_t>((KeQueryInterruptTime() - p->openedAt) / 10000));
    ZwClose(p->key);
    p->key = nullptr;
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI Cleanup(DEVICE_OBJECT* device, IRP* irp) {
  Printer* p = PrinterOf(device);
  if (Opened(p, irp)) Release(p);
  return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI Write(DEVICE_OBJECT* device, IRP* irp) {
  Printer* p = PrinterOf(device);
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
  if (!Opened(p, irp)) return Complete(irp, STATUS_INVALID_HANDLE, 0);
  if (p->model.Gone()) return Complete(irp, p->goneStatus, 0);
  if (p->model.Stalled()) return Hold(p, irp);
  if (length != 0) {
    p->model.Receive(static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer), length);
    StoreRecord(p);
  }
  return Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS NTAPI Read(DEVICE_OBJECT* device, IRP* irp) {
  Printer* p = PrinterOf(device);
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  if (!Opened(p, irp)) return Complete(irp, STATUS_INVALID_HANDLE, 0);
  if (p->model.Gone()) return Complete(irp, p->goneStatus, 0);
  if (p->readsWait && p->model.PendingBytes() == 0) return Hold(p, irp);
  const uint32_t sent = length != 0 ? p->model.Send(static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer), length) : 0;
  return Complete(irp, STATUS_SUCCESS, sent);
}

// --- Plug and play -------------------------------------------------------------------------------

NTSTATUS NTAPI SignalDone(DEVICE_OBJECT*, IRP*, void* event) {
  KeSetEvent(static_cast<KEVENT*>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours again
}

// Sends the IRP down and waits for it there (IoForwardIrpSynchronously is a stub in wine 8.0).
NTSTATUS ForwardAndWait(Printer* p, IRP* irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(p->lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS NTAPI Pnp(DEVICE_OBJECT* device, IRP* irp) {
  Printer* p = PrinterOf(device);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(p, irp);
      if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&p->link, TRUE);
      return Complete(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_SURPRISE_REMOVAL:
      IoSetDeviceInterfaceState(&p->link, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      IoSetDeviceInterfaceState(&p->link, FALSE);  // fails harmlessly after a surprise removal
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      const NTSTATUS status = IoCallDriver(p->lower, irp);
      IoDetachDevice(p->lower);
      RtlFreeUnicodeString(&p->link);
      IoDeleteDevice(device);
      return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;  // nothing to hold on to
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(p->lower, irp);
}

NTSTATUS NTAPI AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Printer), nullptr, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                   FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  Printer* p = PrinterOf(device);
  RtlZeroMemory(p, sizeof *p);
  p->pdo = pdo;
  KeInitializeTimer(&p->unplugTimer);
  KeInitializeDpc(&p->unplugDpc, Unplug, p);
  status = IoRegisterDeviceInterface(pdo, &kUsbPrintInterface, nullptr, &p->link);
  if (!NT_SUCCESS(status)) {
    DbgPrint("eepromfix printer: IoRegisterDeviceInterface failed, %#lx\n", status);
    IoDeleteDevice(device);
    return status;
  }
  p->lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (p->lower == nullptr) {
    RtlFreeUnicodeString(&p->link);
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  DbgPrint("eepromfix printer: interface %.*ws\n", p->link.Length / 2, p->link.Buffer);
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void NTAPI Unload(DRIVER_OBJECT*) {}  // every device went with its IRP_MN_REMOVE_DEVICE

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
  driver->MajorFunction[IRP_MJ_CREATE] = Create;
  driver->MajorFunction[IRP_MJ_CLOSE] = Close;
  driver->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
  driver->MajorFunction[IRP_MJ_WRITE] = Write;
  driver->MajorFunction[IRP_MJ_READ] = Read;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

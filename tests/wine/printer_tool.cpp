// printer_tool: installs, sets up, reads back and removes the simulated printers of the wine
// tests (printer_driver.cpp), as wine's own ntoskrnl tests install their PnP drivers. A test
// tool for x86_64 wine; it is not installed with eepromfix.
//
//   printer_tool install INF COUNT   printers 0 to COUNT-1 (ROOT\EEPROMFIX_PRINTER\000K, COUNT up
//                                    to 99), each holding the valid image
//   printer_tool set K IMAGE [NAME=VALUE...]
//                                    printer K holds IMAGE (valid, corrupt, insane or a file of
//                                    320 bytes) and only the knobs given; its record is cleared.
//                                    NAMEs (printer_state.h): WriteTakes, SilentFrom, GoneAt,
//                                    GoneAfter, ChunkSize, StallAfter, ReadsWait, UnplugAfterMs,
//                                    GoneStatus, CancelIgnored, StallAtPayload (numbers, 0x... for
//                                    hex), FaultN.Status, FaultN.Trailer (numbers), FaultN.Data
//                                    (hex bytes), N 0 to 7
//   printer_tool get K DIR           writes DIR/printerK.received (the bytes of the last open) and
//                                    DIR/printerK.eeprom; prints the record's counters and how
//                                    long the printer was open
//   printer_tool remove              removes every simulated printer and stops the driver
// The expected streams and images come from the Linux printer_server.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <newdev.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "support/streams.h"
#include "wine/printer_state.h"

namespace {

const char kHardwareId[] = "eepromfix_simulated_printer\0";  // a list: ends in two zero bytes
const char kInstancePrefix[] = "ROOT\\EEPROMFIX_PRINTER\\";
const char kService[] = "eepromfix_printer";

int Fail(const char* what) {
  const DWORD code = GetLastError();
  std::fprintf(stderr, "printer_tool: %s failed, error %lu (%#lx)\n", what, code, code);
  return 1;
}

std::string InstanceId(unsigned index) {
  char number[16];
  std::snprintf(number, sizeof number, "%04u", index);
  return kInstancePrefix + std::string(number);
}

// A number in C notation (0x... for hex) up to `limit`.
bool ParseNumber(const char* text, unsigned long long limit, unsigned long long* value) {
  if (std::isdigit(static_cast<unsigned char>(*text)) == 0) return false;  // no sign, no blanks
  char* end = nullptr;
  *value = std::strtoull(text, &end, 0);
  return *end == '\0' && *value <= limit;
}

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Two hex digits a byte, as many bytes as a fault can replace.
bool ParseHex(const char* text, Bytes* bytes) {
  const std::size_t length = std::strlen(text);
  if (length % 2 != 0 || length / 2 > kFaultBytesSize) return false;
  for (std::size_t i = 0; i < length; i += 2) {
    if (!IsHexDigit(text[i]) || !IsHexDigit(text[i + 1])) return false;
    const char pair[3] = {text[i], text[i + 1], '\0'};
    bytes->push_back(static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16)));
  }
  return true;
}

// LoadEepromImage, saying why when it cannot.
bool LoadImageOrSay(const char* name, EepromBytes* image) {
  if (LoadEepromImage(name, image)) return true;
  std::fprintf(stderr, "printer_tool: %s is neither a preset nor a file of %u bytes\n", name, kPrinterEepromSize);
  return false;
}

// --- The hardware key ----------------------------------------------------------------------------

// The hardware key of printer `index`, created if needed; nullptr (reported) when there is no
// such printer.
HKEY OpenPrinterKey(unsigned index) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    Fail("SetupDiCreateDeviceInfoList");
    return nullptr;
  }
  SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
  HKEY key = nullptr;
  if (!SetupDiOpenDeviceInfoA(set, InstanceId(index).c_str(), nullptr, 0, &device)) {
    std::fprintf(stderr, "printer_tool: no printer %s (error %lu)\n", InstanceId(index).c_str(), GetLastError());
  } else {
    key = SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) {
      Fail("SetupDiCreateDevRegKey");
      key = nullptr;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return key;
}

bool SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, std::size_t size) {
  const LSTATUS status = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
  if (status != ERROR_SUCCESS) std::fprintf(stderr, "printer_tool: storing %ls failed, error %ld\n", name, status);
  return status == ERROR_SUCCESS;
}

// The value `name` of `type`; empty when absent.
Bytes QueryValue(HKEY key, const wchar_t* name, DWORD type) {
  DWORD found = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &found, nullptr, &size) != ERROR_SUCCESS || found != type) return {};
  Bytes bytes(size);
  if (RegQueryValueExW(key, name, nullptr, &found, bytes.data(), &size) != ERROR_SUCCESS) return {};
  bytes.resize(size);
  return bytes;
}

DWORD QueryNumber(HKEY key, const wchar_t* name) {
  const Bytes bytes = QueryValue(key, name, REG_DWORD);
  DWORD number = 0;
  if (bytes.size() == sizeof number) std::memcpy(&number, bytes.data(), sizeof number);
  return number;
}

bool ClearValues(HKEY key) {
  for (;;) {
    wchar_t name[256];
    DWORD length = 256;
    const LSTATUS status = RegEnumValueW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return true;
    if (status != ERROR_SUCCESS || RegDeleteValueW(key, name) != ERROR_SUCCESS) {
      std::fprintf(stderr, "printer_tool: cannot clear the printer's state\n");
      return false;
    }
  }
}

// NAME=VALUE for one of the knobs that printer_state.h names; with no key, only checks it.
bool SetKnob(HKEY key, const char* assignment) {
  const char* equals = std::strchr(assignment, '=');
  if (equals == nullptr) return false;
  const std::wstring name(assignment, equals);
  const char* value = equals + 1;
  unsigned long long number = 0;
  for (const wchar_t* knob : kNumberKnobNames) {
    if (_wcsicmp(name.c_str(), knob) == 0) {
      if (!ParseNumber(value, 0xFFFFFFFFu, &number)) return false;
      const DWORD dword = static_cast<DWORD>(number);
      return key == nullptr || SetValue(key, knob, REG_DWORD, &dword, sizeof dword);
    }
  }
  for (uint32_t response = 0; response < kMaxFaultedResponses; ++response) {
    for (uint32_t field = 0; field < kFaultFieldCount; ++field) {
      wchar_t knob[kFaultNameSize];
      FaultValueName(knob, response, static_cast<FaultField>(field));
      if (_wcsicmp(name.c_str(), knob) != 0) continue;
      if (field == kFaultData) {
        Bytes bytes;
        return ParseHex(value, &bytes) && (key == nullptr || SetValue(key, knob, REG_BINARY, bytes.data(), bytes.size()));
      }
      if (!ParseNumber(value, field == kFaultStatus ? 0xFFFFu : 0xFFFFFFFFu, &number)) return false;
      const DWORD dword = static_cast<DWORD>(number);
      return key == nullptr || SetValue(key, knob, REG_DWORD, &dword, sizeof dword);
    }
  }
  return false;
}

// --- Subcommands ---------------------------------------------------------------------------------

int Install(const char* inf, unsigned count) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  for (unsigned index = 0; index < count; ++index) {
    SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
    const std::string id = InstanceId(index);
    if (!SetupDiCreateDeviceInfoA(set, id.c_str(), &GUID_NULL, nullptr, nullptr, 0, &device) ||
        !SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(kHardwareId),
                                           sizeof kHardwareId) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
      const int result = Fail(("registering " + id + " (remove the printers first?)").c_str());
      SetupDiDestroyDeviceInfoList(set);
      return result;
    }
  }
  SetupDiDestroyDeviceInfoList(set);

  const EepromBytes valid = MakeImage(PresetImage::kValid);
  for (unsigned index = 0; index < count; ++index) {
    HKEY key = OpenPrinterKey(index);
    if (key == nullptr) return 1;
    const bool stored = SetValue(key, PRINTER_EEPROM, REG_BINARY, valid.data(), valid.size());
    RegCloseKey(key);
    if (!stored) return 1;
  }

  char path[MAX_PATH];
  if (GetFullPathNameA(inf, MAX_PATH, path, nullptr) == 0) return Fail("GetFullPathName");
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, kHardwareId, path, INSTALLFLAG_FORCE, &reboot)) {
    return Fail("UpdateDriverForPlugAndPlayDevices");
  }
  return 0;
}

int Set(unsigned index, const char* imageName, int knobCount, char** knobs) {
  EepromBytes image{};
  if (!LoadImageOrSay(imageName, &image)) return 2;
  // All or nothing: a printer is never left half set up.
  for (int i = 0; i < knobCount; ++i) {
    if (!SetKnob(nullptr, knobs[i])) {
      std::fprintf(stderr, "printer_tool: bad knob: %s\n", knobs[i]);
      return 2;
    }
  }
  HKEY key = OpenPrinterKey(index);
  if (key == nullptr) return 1;
  bool ok = ClearValues(key) && SetValue(key, PRINTER_EEPROM, REG_BINARY, image.data(), image.size());
  for (int i = 0; ok && i < knobCount; ++i) ok = SetKnob(key, knobs[i]);
  RegCloseKey(key);
  return ok ? 0 : 1;
}

int Get(unsigned index, const std::string& dir) {
  HKEY key = OpenPrinterKey(index);
  if (key == nullptr) return 1;
  const Bytes received = QueryValue(key, PRINTER_RECEIVED, REG_BINARY);
  const Bytes eeprom = QueryValue(key, PRINTER_EEPROM, REG_BINARY);
  std::printf("receivedCount=%lu responses=%lu eepromWrites=%lu openMs=%lu\n", QueryNumber(key, PRINTER_RECEIVED_COUNT),
              QueryNumber(key, PRINTER_RESPONSES), QueryNumber(key, PRINTER_EEPROM_WRITES),
              QueryNumber(key, PRINTER_OPEN_MS));
  RegCloseKey(key);
  const std::string base = dir + "/printer" + std::to_string(index);
  if (!WriteFileBytes((base + ".received").c_str(), received.data(), received.size()) ||
      !WriteFileBytes((base + ".eeprom").c_str(), eeprom.data(), eeprom.size())) {
    std::fprintf(stderr, "printer_tool: cannot write %s.*\n", base.c_str());
    return 1;
  }
  return 0;
}

// Stops the driver so that the next install loads its file afresh.
bool StopDriver() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    Fail("OpenSCManager");
    return false;
  }
  SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_STOP | SERVICE_QUERY_STATUS);
  bool stopped = service == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;  // never installed
  if (service == nullptr && !stopped) Fail("OpenService");
  if (service != nullptr) {
    SERVICE_STATUS status{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
      Fail("ControlService(SERVICE_CONTROL_STOP)");
    }
    for (int tries = 0; tries < 100 && !stopped; ++tries) {
      stopped = QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED;
      if (!stopped) Sleep(50);
    }
    if (!stopped) std::fprintf(stderr, "printer_tool: the driver did not stop\n");
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return stopped;
}

int Remove() {
  HDEVINFO set = SetupDiGetClassDevsA(nullptr, "ROOT", nullptr, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiGetClassDevs");
  bool ok = true;
  SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    char id[MAX_DEVICE_ID_LEN];
    if (!SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr)) continue;
    if (_strnicmp(id, kInstancePrefix, sizeof kInstancePrefix - 1) != 0) continue;
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
      Fail((std::string("removing ") + id).c_str());
      ok = false;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return StopDriver() && ok ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: printer_tool install INF COUNT\n"
               "       printer_tool set K IMAGE [NAME=VALUE...]\n"
               "       printer_tool get K DIR\n"
               "       printer_tool remove\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  unsigned long long number = 0;
  if (command == "install" && argc == 4 && ParseNumber(argv[3], 99, &number) && number > 0) {
    return Install(argv[2], static_cast<unsigned>(number));
  }
  if (command == "set" && argc >= 4 && ParseNumber(argv[2], 99, &number)) {
    return Set(static_cast<unsigned>(number), argv[3], argc - 4, argv + 4);
  }
  if (command == "get" && argc == 4 && ParseNumber(argv[2], 99, &number)) return Get(static_cast<unsigned>(number), argv[3]);
  if (command == "remove" && argc == 2) return Remove();
  return Usage();
}

// The Linux backend against the real system: a raw pseudo-terminal stands in for the printer's
// character device, and folders made here stand in for the usblp entries in sysfs.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <libusb.h>

#include "device/channel.h"
#include "driver/report.h"
#include "platform/linux_libusb.h"
#include "platform/linux_usbfs.h"
#include "platform/linux_usblp.h"
#include "platform/platform.h"
#include "support/capture.h"

namespace {

// Upper bound for bytes to cross the pty; reached only when something is broken.
constexpr int kArrivalTimeoutMs = 1000;

// A device call that should return at once is allowed this long before the test calls it
// blocked.
constexpr auto kPromptReturn = std::chrono::milliseconds(500);

// Interrupts a device call that blocks after all, so that the test fails on its elapsed time
// instead of hanging: the signal ends a waiting read() with EINTR.
class Watchdog {
 public:
  Watchdog() {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    sigaction(SIGALRM, &action, &previous_);
    alarm(2);
  }
  ~Watchdog() {
    alarm(0);
    sigaction(SIGALRM, &previous_, nullptr);
  }

 private:
  struct sigaction previous_ {};
};

int Fd(DeviceHandle device) { return static_cast<int>(device); }

// Waits until `fd` has at least `count` bytes to read, for at most kArrivalTimeoutMs.
bool WaitForBytes(int fd, int count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kArrivalTimeoutMs);
  pollfd poller{fd, POLLIN, 0};
  if (poll(&poller, 1, kArrivalTimeoutMs) != 1) return false;
  // The line discipline may take the bytes in more than one go.
  int pending = 0;
  while (ioctl(fd, FIONREAD, &pending) == 0 && pending < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
  }
  return pending >= count;
}

int PendingBytes(int fd) {
  int pending = -1;
  ioctl(fd, FIONREAD, &pending);
  return pending;
}

// A raw pseudo-terminal: the test holds the master, the seam opens the slave as the device.
class Pty : public testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0) << std::strerror(errno);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    const char* name = ptsname(master_);
    ASSERT_NE(name, nullptr);
    slavePath_ = name;

    device_ = PlatformOpenDevice(slavePath_.c_str());
    ASSERT_NE(device_, kInvalidHandle) << std::strerror(static_cast<int>(PlatformLastError()));
    termios settings{};
    ASSERT_EQ(tcgetattr(Fd(device_), &settings), 0);
    cfmakeraw(&settings);
    ASSERT_EQ(tcsetattr(Fd(device_), TCSANOW, &settings), 0);
    g_deviceChannel = DeviceChannel{};
  }

  void TearDown() override {
    if (device_ != kInvalidHandle) PlatformCloseDevice(device_);
    if (master_ >= 0) close(master_);
  }

  void WriteToDevice(const std::uint8_t* bytes, std::size_t len) {
    ASSERT_EQ(write(master_, bytes, len), static_cast<ssize_t>(len));
    ASSERT_TRUE(WaitForBytes(Fd(device_), static_cast<int>(len)));
  }

  // A read that brings nothing and returns without a long wait; returns the read's result.
  bool ReadNothingAtOnce() {
    std::uint8_t buffer[512];
    std::uint32_t got = 99;
    const Watchdog watchdog;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = PlatformReadDevice(device_, buffer, sizeof buffer, &got);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kPromptReturn);
    EXPECT_EQ(got, 0u);
    return ok;
  }

  int master_ = -1;
  std::string slavePath_;
  DeviceHandle device_ = kInvalidHandle;
};

// --- Open ------------------------------------------------------------------------------------

TEST_F(Pty, OpenGivesAReadWriteDescriptorClosedOnExec) {
  const int flags = fcntl(Fd(device_), F_GETFL);
  EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
  // Blocking, for usblp's write to report a failed transfer; reads look with poll first.
  EXPECT_EQ(flags & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(Fd(device_), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(Pty, OpeningTheDeviceDoesNotMakeItTheControllingTerminal) {
  // A new session has no controlling terminal; opening a terminal without O_NOCTTY would give
  // it one.
  EXPECT_EXIT(
      {
        if (setsid() < 0) std::_Exit(2);
        const DeviceHandle device = PlatformOpenDevice(slavePath_.c_str());
        if (device == kInvalidHandle) std::_Exit(3);
        std::_Exit(open("/dev/tty", O_RDWR | O_NOCTTY) < 0 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(LinuxDeviceIo, OpeningAMissingPathFailsWithItsErrno) {
  PlatformSetLastError(0);
  EXPECT_EQ(PlatformOpenDevice("/nonexistent-eepromfix/lp0"), kInvalidHandle);
  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ENOENT));
}

// --- Read and write --------------------------------------------------------------------------

TEST_F(Pty, ReadWithNothingPendingReturnsAtOnceWithNoBytes) {
  EXPECT_TRUE(ReadNothingAtOnce());  // a success: nothing came within the read's short wait
}

TEST_F(Pty, ReadTakesAtMostTheGivenLength) {
  std::uint8_t bytes[10];
  for (std::uint8_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
  WriteToDevice(bytes, sizeof bytes);

  std::uint8_t buffer[16] = {};
  std::uint32_t got = 0;
  EXPECT_TRUE(PlatformReadDevice(device_, buffer, 4, &got));
  ASSERT_EQ(got, 4u);
  EXPECT_EQ(std::memcmp(buffer, bytes, 4), 0);
  EXPECT_EQ(buffer[4], 0);
  EXPECT_EQ(PendingBytes(Fd(device_)), 6);

  EXPECT_TRUE(PlatformReadDevice(device_, buffer, sizeof buffer, &got));
  ASSERT_EQ(got, 6u);
  EXPECT_EQ(std::memcmp(buffer, bytes + 4, 6), 0);
}

TEST_F(Pty, ChannelStagesTheSurplusOfOneDeviceRead) {
  std::uint8_t bytes[40];
  for (std::uint8_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<std::uint8_t>(i * 3 + 1);
  WriteToDevice(bytes, sizeof bytes);

  std::uint8_t first[16] = {};
  ASSERT_EQ(ChannelRead(device_, first, sizeof first), 16u);
  EXPECT_EQ(std::memcmp(first, bytes, 16), 0);
  EXPECT_EQ(g_deviceChannel.stagedCount, 24u);
  EXPECT_EQ(PendingBytes(Fd(device_)), 0);  // one read took the whole block

  // More bytes arrive; the next request is covered by the staged bytes, so they stay pending.
  const std::uint8_t later[5] = {0xF1, 0xF2, 0xF3, 0xF4, 0xF5};
  WriteToDevice(later, sizeof later);
  std::uint8_t second[24] = {};
  ASSERT_EQ(ChannelRead(device_, second, sizeof second), 24u);
  EXPECT_EQ(std::memcmp(second, bytes + 16, 24), 0);
  EXPECT_EQ(g_deviceChannel.stagedCount, 0u);
  EXPECT_EQ(PendingBytes(Fd(device_)), 5);

  std::uint8_t third[8] = {};
  ASSERT_EQ(ChannelRead(device_, third, sizeof third), 5u);
  EXPECT_EQ(std::memcmp(third, later, 5), 0);
  // And nothing more: the next read returns at once with no bytes.
  const Watchdog watchdog;
  EXPECT_EQ(ChannelRead(device_, third, sizeof third), 0u);
}

TEST_F(Pty, WriteReachesThePeer) {
  std::uint8_t bytes[300];
  for (std::uint32_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<std::uint8_t>(i ^ 0x5A);
  std::uint32_t written = 0;
  bool outstanding = true;
  ASSERT_TRUE(PlatformWriteDevice(device_, bytes, sizeof bytes, &written, &outstanding));
  EXPECT_FALSE(outstanding);
  EXPECT_EQ(written, sizeof bytes);

  std::vector<std::uint8_t> received;
  while (received.size() < sizeof bytes) {
    pollfd poller{master_, POLLIN, 0};
    ASSERT_EQ(poll(&poller, 1, kArrivalTimeoutMs), 1) << "after " << received.size() << " bytes";
    std::uint8_t chunk[512];
    const ssize_t n = read(master_, chunk, sizeof chunk);
    ASSERT_GT(n, 0);
    received.insert(received.end(), chunk, chunk + n);
  }
  ASSERT_EQ(received.size(), sizeof bytes);
  EXPECT_EQ(std::memcmp(received.data(), bytes, sizeof bytes), 0);
}

TEST_F(Pty, HungUpPeerIsGoneBothWaysAtOnce) {
  close(master_);
  master_ = -1;

  EXPECT_FALSE(ReadNothingAtOnce());
  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ENODEV));
  EXPECT_TRUE(PlatformDeviceGone(PlatformLastError()));

  const std::uint8_t bytes[4] = {1, 2, 3, 4};
  std::uint32_t written = 99;
  bool outstanding = true;
  EXPECT_FALSE(PlatformWriteDevice(device_, bytes, sizeof bytes, &written, &outstanding));
  EXPECT_EQ(written, 0u);
  EXPECT_FALSE(outstanding);  // the write came back with its failure
  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(EIO));
  EXPECT_TRUE(PlatformDeviceGone(PlatformLastError()));
}

volatile sig_atomic_t g_stopsSeen = 0;

// A write blocked on a printer that takes nothing more (the pty's buffer is full). A Ctrl-Z waits
// until the write has ended; another signal ends it with its own code, not a time-out, and its
// transfer may still go out.
TEST_F(Pty, WriteEndedByAnotherSignalIsNoTimeOut) {
  const int fd = Fd(device_);
  const int flags = fcntl(fd, F_GETFL);
  ASSERT_EQ(fcntl(fd, F_SETFL, flags | O_NONBLOCK), 0);
  std::uint8_t bytes[512] = {};
  // The line discipline moves bytes on in the background: full once a pause frees no room.
  for (bool took = true; took;) {
    took = false;
    for (std::size_t chunk = sizeof bytes; chunk != 0; chunk /= 2) {
      while (write(fd, bytes, chunk) > 0) took = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(fcntl(fd, F_SETFL, flags), 0);

  struct sigaction counting {};
  counting.sa_handler = [](int) { g_stopsSeen = g_stopsSeen + 1; };
  sigemptyset(&counting.sa_mask);
  struct sigaction previousStop {};
  struct sigaction previousUser {};
  sigaction(SIGTSTP, &counting, &previousStop);
  sigaction(SIGUSR1, &counting, &previousUser);  // no SA_RESTART: it ends the write
  g_stopsSeen = 0;
  const pthread_t writer = pthread_self();
  std::atomic<bool> returned{false};
  bool blockedAfterStop = false;
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pthread_kill(writer, SIGTSTP);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    blockedAfterStop = !returned;
    pthread_kill(writer, SIGUSR1);
  });
  std::uint32_t written = 99;
  bool outstanding = false;
  const bool ok = PlatformWriteDevice(device_, bytes, sizeof bytes, &written, &outstanding);
  returned = true;
  other.join();
  sigaction(SIGTSTP, &previousStop, nullptr);
  sigaction(SIGUSR1, &previousUser, nullptr);

  EXPECT_FALSE(ok);
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(outstanding);
  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(EINTR));
  EXPECT_FALSE(PlatformDeviceGone(PlatformLastError()));
  EXPECT_TRUE(blockedAfterStop) << "the Ctrl-Z ended the write";
  EXPECT_EQ(g_stopsSeen, 2) << "the Ctrl-Z was lost or came during the write";
}

// A printer that answers a few milliseconds after the command is read at once, not a pause later.
TEST_F(Pty, ReadWaitsBrieflyForTheFirstBytes) {
  const std::uint8_t answer[16] = {0x00, 0xAC};
  std::thread printer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(write(master_, answer, sizeof answer), static_cast<ssize_t>(sizeof answer));
  });
  std::uint8_t buffer[512];
  std::uint32_t got = 0;
  EXPECT_TRUE(PlatformReadDevice(device_, buffer, sizeof buffer, &got));
  printer.join();
  EXPECT_GT(got, 0u);
}

TEST(LinuxDeviceIo, ClosedDescriptorFailsBothWaysWithEbadf) {
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  close(fd);  // a number that names nothing now

  std::uint8_t buffer[4];
  std::uint32_t got = 99;
  EXPECT_FALSE(PlatformReadDevice(fd, buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(EBADF));

  std::uint32_t written = 99;
  bool outstanding = true;
  PlatformSetLastError(0);
  EXPECT_FALSE(PlatformWriteDevice(fd, buffer, sizeof buffer, &written, &outstanding));
  EXPECT_FALSE(outstanding);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(EBADF));
}

// --- Error codes and texts -------------------------------------------------------------------

TEST(LinuxErrorCodes, LastErrorSurvivesOutputThatSetsErrno) {
  EXPECT_EQ(PlatformOpenDevice("/nonexistent-eepromfix/lp0"), kInvalidHandle);

  // Writing to a stream opened for reading fails and sets errno; the kept code must not move.
  std::FILE* readOnly = std::fopen("/dev/null", "r");
  ASSERT_NE(readOnly, nullptr);
  EXPECT_LT(std::fprintf(readOnly, "x"), 0);
  std::fclose(readOnly);
  StdoutOf([] { std::printf("some output\n"); });
  errno = EINVAL;

  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ENOENT));
  PlatformSetLastError(0);
  EXPECT_EQ(PlatformLastError(), 0u);
}

TEST(LinuxErrorCodes, ErrorTextIsTheSystemsTextCutToTheBuffer) {
  char text[256];
  ASSERT_TRUE(PlatformErrorText(ENOENT, text, sizeof text));
  EXPECT_STREQ(text, "No such file or directory");
  ASSERT_TRUE(PlatformErrorText(ENODEV, text, sizeof text));
  EXPECT_STREQ(text, "No such device");

  char small[8];
  std::memset(small, 'x', sizeof small);
  ASSERT_TRUE(PlatformErrorText(ENOENT, small, 5));
  EXPECT_EQ(std::string(small), "No s");
  EXPECT_EQ(std::string(small + 5, 3), "xxx");
}

// --- Finding printers in sysfs ---------------------------------------------------------------

// A folder of its own, removed with everything in it at the end.
class UsbmiscFolder : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/eepromfix-usbmisc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr) << std::strerror(errno);
    folder_ = pattern;
  }

  void TearDown() override {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
      if (unlink(it->c_str()) != 0) rmdir(it->c_str());
    }
    rmdir(folder_.c_str());
  }

  void MakeFolder(const std::string& name) {
    const std::string path = folder_ + "/" + name;
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    made_.push_back(path);
  }

  void MakeFile(const std::string& name, const std::string& content) {
    const std::string path = folder_ + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
    made_.push_back(path);
  }

  std::string PathOf(std::uint32_t number) {
    char path[256];
    const std::size_t length = UsblpPrinterPath(folder_.c_str(), number, path, sizeof path);
    EXPECT_EQ(length, std::strlen(path));
    return path;
  }

  void MakeLink(const std::string& name, const std::string& target) {
    const std::string path = folder_ + "/" + name;
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
    made_.push_back(path);
  }

  std::string folder_;
  std::vector<std::string> made_;
};

TEST_F(UsbmiscFolder, PrintersAreListedInNumericOrderAndOthersIgnored) {
  for (const char* name : {"lp10", "lp2", "lp0", "lp", "lpx", "lp1a", "lp-1", "lp+3", "foo",
                           "hiddev0", "lp4294967296"}) {
    MakeFolder(name);
  }
  std::uint32_t numbers[8] = {};
  ASSERT_EQ(ListUsblpPrinters(folder_.c_str(), numbers, 8), 3);
  EXPECT_EQ(numbers[0], 0u);
  EXPECT_EQ(numbers[1], 2u);
  EXPECT_EQ(numbers[2], 10u);
}

TEST_F(UsbmiscFolder, EmptyOrMissingFolderHasNoPrinters) {
  std::uint32_t numbers[4];
  EXPECT_EQ(ListUsblpPrinters(folder_.c_str(), numbers, 4), 0);
  EXPECT_EQ(ListUsblpPrinters((folder_ + "/absent").c_str(), numbers, 4), 0);
}

TEST_F(UsbmiscFolder, UnreadableFolderFails) {
  MakeFile("plain", "");
  std::uint32_t numbers[4];
  errno = 0;
  EXPECT_EQ(ListUsblpPrinters((folder_ + "/plain").c_str(), numbers, 4), -1);
  EXPECT_EQ(errno, ENOTDIR);
}

TEST_F(UsbmiscFolder, DevicePathComesFromDevnameOrDefaults) {
  MakeFolder("lp2");
  MakeFile("lp2/uevent", "MAJOR=180\nMINOR=2\nDEVNAME=usb/printer-two\n");
  MakeFolder("lp3");
  MakeFile("lp3/uevent", "MAJOR=180\r\nDEVNAME=usb/lp3x\r\n");
  MakeFolder("lp4");
  MakeFile("lp4/uevent", "MAJOR=180\nMINOR=4\n");  // no DEVNAME line
  MakeFolder("lp5");                                // no uevent at all

  EXPECT_EQ(PathOf(2), "/dev/usb/printer-two");
  EXPECT_EQ(PathOf(3), "/dev/usb/lp3x");
  EXPECT_EQ(PathOf(4), "/dev/usb/lp4");
  EXPECT_EQ(PathOf(5), "/dev/usb/lp5");
  EXPECT_EQ(PathOf(17), "/dev/usb/lp17");
}

TEST_F(UsbmiscFolder, TooLongDevicePathIsCutAndSaysSo) {
  MakeFolder("lp1");
  MakeFile("lp1/uevent", "DEVNAME=" + std::string(40, 'n') + "\n");
  char path[16];
  EXPECT_EQ(UsblpPrinterPath(folder_.c_str(), 1, path, sizeof path), 45u);
  EXPECT_EQ(std::string(path), "/dev/" + std::string(10, 'n'));
}

// --- Printers that usblp does not hold --------------------------------------------------------

using Bytes = std::string;

Bytes Interface(int number, int alt, int cls, int subclass, int protocol) {
  return Bytes{9, 4, char(number), char(alt), 2, char(cls), char(subclass), char(protocol), 0};
}

Bytes Endpoint(int address, int attributes, int maxPacket) {
  return Bytes{7, 5, char(address), char(attributes), char(maxPacket & 0xFF), char(maxPacket >> 8), 0};
}

Bytes Configuration(int value, const Bytes& body) {
  const std::size_t total = 9 + body.size();
  return Bytes{9, 2, char(total & 0xFF), char(total >> 8), 1, char(value), 0, char(0x80), 50} + body;
}

// sysfs's descriptors file: the device descriptor, then each configuration's.
Bytes Descriptors(const Bytes& configurations) { return Bytes{18, 1} + Bytes(16, '\0') + configurations; }

const Bytes kBidirectional = Interface(0, 0, 7, 1, 2) + Endpoint(0x81, 2, 512) + Endpoint(0x02, 2, 512);

bool Choose(const Bytes& descriptors, int configuration, LibusbPrinterInterface* chosen,
            std::uint32_t* printers) {
  return ChoosePrinterInterface(reinterpret_cast<const std::uint8_t*>(descriptors.data()),
                                descriptors.size(), static_cast<std::uint8_t>(configuration), chosen,
                                printers);
}

// The first interface with a bidirectional setting of the active configuration: other classes,
// unidirectional settings, interrupt endpoints and other configurations do not count.
TEST(UsbfsInterfaceChoice, FirstBidirectionalSettingOfTheActiveConfiguration) {
  const Bytes descriptors = Descriptors(
      Configuration(1, Interface(0, 0, 3, 1, 2) + Endpoint(0x83, 2, 64) + Endpoint(0x04, 2, 64) +
                           Interface(1, 0, 7, 1, 1) + Endpoint(0x05, 2, 512) +
                           Interface(1, 1, 7, 1, 2) + Endpoint(0x86, 3, 8) + Endpoint(0x87, 2, 1024) +
                           Endpoint(0x08, 2, 1024) + Interface(2, 0, 7, 1, 2) +
                           Endpoint(0x81, 2, 512) + Endpoint(0x02, 2, 512)) +
      Configuration(2, kBidirectional));
  LibusbPrinterInterface chosen{};
  std::uint32_t printers = 0;
  ASSERT_TRUE(Choose(descriptors, 1, &chosen, &printers));
  EXPECT_EQ(chosen.number, 1);
  EXPECT_EQ(chosen.altSetting, 1);
  EXPECT_EQ(chosen.endpointIn, 0x87);
  EXPECT_EQ(chosen.endpointOut, 0x08);
  EXPECT_EQ(chosen.maxPacketIn, 1024);
  EXPECT_EQ(printers, 0x6u);
  ASSERT_TRUE(Choose(descriptors, 2, &chosen, &printers));
  EXPECT_EQ(chosen.number, 0);
  EXPECT_FALSE(Choose(descriptors, 3, &chosen, &printers));

  // Unidirectional only, a setting without its bulk IN endpoint, a damaged descriptor.
  EXPECT_FALSE(Choose(Descriptors(Configuration(1, Interface(0, 0, 7, 1, 1) + Endpoint(0x81, 2, 64) +
                                                       Endpoint(0x02, 2, 64))),
                      1, &chosen, &printers));
  EXPECT_FALSE(Choose(Descriptors(Configuration(1, Interface(0, 0, 7, 1, 2) + Endpoint(0x02, 2, 64))),
                      1, &chosen, &printers));
  Bytes damaged = Descriptors(Configuration(1, kBidirectional));
  damaged[18 + 9 + 9] = 0;  // the first endpoint's length
  EXPECT_FALSE(Choose(damaged, 1, &chosen, &printers));
}

// Devices by bus and port (1-1.2 before 1-1.10 before 2-1); usblp's and non-printers left out.
TEST_F(UsbmiscFolder, UsbfsPrintersAreListedByBusAndPortWithoutUsblps) {
  const struct {
    const char* name;
    int bus, device;
    const char* driver;  // of interface 0
    const char* alt;     // its current setting
  } devices[] = {{"2-1", 2, 2, nullptr, " 0\n"}, {"1-1.10", 1, 9, "usbfs", " 0\n"},
                 {"1-1.2", 1, 5, nullptr, " 1\n"}, {"1-1.3", 1, 6, "usblp", " 0\n"}};
  for (const auto& d : devices) {
    const std::string name = d.name;
    MakeFolder(name);
    MakeFile(name + "/bConfigurationValue", "1\n");
    MakeFile(name + "/busnum", std::to_string(d.bus) + "\n");
    MakeFile(name + "/devnum", std::to_string(d.device) + "\n");
    MakeFile(name + "/descriptors", Descriptors(Configuration(1, kBidirectional)));
    MakeFolder(name + ":1.0");
    MakeFile(name + ":1.0/bAlternateSetting", d.alt);
    if (d.driver != nullptr) MakeLink(name + ":1.0/driver", std::string("../../bus/usb/drivers/") + d.driver);
  }
  MakeFolder("1-1");  // a hub: no printer interface
  MakeFile("1-1/bConfigurationValue", "1\n");
  MakeFile("1-1/descriptors", Descriptors(Configuration(1, Interface(0, 0, 9, 0, 0))));
  MakeFolder("usb1");

  UsbfsNode nodes[8] = {};
  ASSERT_EQ(ListUsbfsPrinters(folder_.c_str(), nodes, 8), 3);
  EXPECT_EQ(nodes[0].device, 5u);
  EXPECT_EQ(nodes[1].device, 9u);
  EXPECT_EQ(nodes[2].bus, 2u);

  LibusbPrinterInterface chosen{};
  ASSERT_TRUE(FindUsbfsPrinter(folder_.c_str(), UsbfsNode{1, 9}, &chosen));
  EXPECT_EQ(chosen.endpointIn, 0x81);
  EXPECT_FALSE(chosen.selectAltSetting);
  ASSERT_TRUE(FindUsbfsPrinter(folder_.c_str(), UsbfsNode{1, 5}, &chosen));
  EXPECT_TRUE(chosen.selectAltSetting);  // setting 1 is current, setting 0 is the printer's
  EXPECT_FALSE(FindUsbfsPrinter(folder_.c_str(), UsbfsNode{1, 6}, &chosen));
  EXPECT_EQ(errno, EBUSY);
  EXPECT_FALSE(FindUsbfsPrinter(folder_.c_str(), UsbfsNode{3, 1}, &chosen));
  EXPECT_EQ(errno, ENODEV);
}

// A failed libusb call reaches the tool as the errno that stands for it. What the tool does
// with that: gives up a printer that is unplugged, failing, not taking data or stalled (it would
// stall again); tells a user who may not open the printer from one that another program holds.
// And no libusb error, named or not, reads as a success or as a code without a system text.
TEST(LibusbErrors, LibusbFailuresMeanWhatTheToolActsOn) {
  const auto errnoOf = [](int error) { return static_cast<std::uint32_t>(ErrnoOfLibusbError(error)); };
  for (const int gone : {LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_IO, LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_PIPE}) {
    EXPECT_TRUE(PlatformDeviceGone(errnoOf(gone))) << libusb_error_name(gone);
  }
  EXPECT_FALSE(PlatformDeviceGone(errnoOf(LIBUSB_ERROR_INTERRUPTED)));
  EXPECT_EQ(PlatformOpenFailure(errnoOf(LIBUSB_ERROR_ACCESS)), OpenFailure::kNotPermitted);
  EXPECT_EQ(PlatformOpenFailure(errnoOf(LIBUSB_ERROR_BUSY)), OpenFailure::kInUse);
  EXPECT_EQ(PlatformOpenFailure(errnoOf(LIBUSB_ERROR_NO_DEVICE)), OpenFailure::kOther);

  for (int error = LIBUSB_ERROR_OTHER; error < 0; ++error) {
    char text[64] = {};
    ASSERT_NE(errnoOf(error), 0u) << error;
    ASSERT_TRUE(PlatformErrorText(errnoOf(error), text, sizeof text));
    EXPECT_NE(std::strncmp(text, "Unknown error", 13), 0) << error << ": " << text;
  }
}

// --- Saving a file, device paths given by a user ---------------------------------------------

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  for (dirent* entry = dir != nullptr ? readdir(dir) : nullptr; entry != nullptr; entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  if (dir != nullptr) closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::string Content(const std::string& path) {
  std::string content;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  for (int c = file != nullptr ? std::fgetc(file) : EOF; c != EOF; c = std::fgetc(file)) content += static_cast<char>(c);
  if (file != nullptr) std::fclose(file);
  return content;
}

// A folder of the test's own, emptied and removed afterwards; the bytes of an image.
class SaveFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/eepromfix-save-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    for (std::size_t i = 0; i < sizeof bytes_; ++i) bytes_[i] = static_cast<std::uint8_t>(i * 7);
  }
  void TearDown() override {
    for (const std::string& name : Entries(folder_)) unlink((folder_ + "/" + name).c_str());
    rmdir(folder_.c_str());
  }
  std::string Bytes() const { return std::string(reinterpret_cast<const char*>(bytes_), sizeof bytes_); }

  std::string folder_;
  std::uint8_t bytes_[320];
};

// The file takes its name only whole, never over another one, and leaves no temporary file.
TEST_F(SaveFileTest, TakesItsNameWholeAndNeverReplaces) {
  const std::string folder = folder_;
  const std::string image = folder + "/image.bin";
  const auto& bytes = bytes_;

  SaveFile* save = PlatformBeginSave(image.c_str());
  ASSERT_NE(save, nullptr) << std::strerror(static_cast<int>(PlatformLastError()));
  ASSERT_EQ(Entries(folder).size(), 1u);
  EXPECT_EQ(Entries(folder)[0].rfind("eepromfix-", 0), 0u) << "the temporary file stands beside it";
  ASSERT_TRUE(PlatformFinishSave(save, bytes, sizeof bytes));
  EXPECT_EQ(Entries(folder), std::vector<std::string>{"image.bin"});
  EXPECT_EQ(Content(image), Bytes());

  EXPECT_EQ(PlatformBeginSave(image.c_str()), nullptr);
  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(EEXIST));
  ASSERT_EQ(symlink("nowhere", (folder + "/link").c_str()), 0);
  EXPECT_EQ(PlatformBeginSave((folder + "/link").c_str()), nullptr) << "a dangling link is a name taken";
  EXPECT_EQ(PlatformBeginSave((folder + "/new/").c_str()), nullptr) << "a folder's name";
  EXPECT_EQ(PlatformBeginSave((folder + "/no/such.bin").c_str()), nullptr);
  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ENOENT));

  // The name taken while the printer was read: the other file stays as it is.
  save = PlatformBeginSave((folder + "/late.bin").c_str());
  ASSERT_NE(save, nullptr);
  std::FILE* other = std::fopen((folder + "/late.bin").c_str(), "w");
  std::fputs("other", other);
  std::fclose(other);
  EXPECT_FALSE(PlatformFinishSave(save, bytes, sizeof bytes));
  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(EEXIST));
  EXPECT_EQ(Content(folder + "/late.bin"), "other");

  save = PlatformBeginSave((folder + "/dropped.bin").c_str());
  ASSERT_NE(save, nullptr);
  PlatformDiscardSave(save);
  EXPECT_EQ(Entries(folder), (std::vector<std::string>{"image.bin", "late.bin", "link"}));

  // A link to a listed node names that node; a name that only begins like it does not.
  ASSERT_EQ(symlink(image.c_str(), (folder + "/alias").c_str()), 0);
  EXPECT_TRUE(PlatformSameDevicePath((folder + "/alias").c_str(), image.c_str()));
  EXPECT_TRUE(PlatformSameDevicePath(image.c_str(), image.c_str()));
  EXPECT_FALSE(PlatformSameDevicePath((folder + "/image").c_str(), image.c_str()));
  EXPECT_FALSE(PlatformSameDevicePath((folder + "/link").c_str(), image.c_str()));
}

// Every name that the folder takes, up to its longest; a longer one fails before any printer.
TEST_F(SaveFileTest, NameAsLongAsTheFolderTakes) {
  const std::string longest = folder_ + "/" + std::string(NAME_MAX, 'n');
  SaveFile* save = PlatformBeginSave(longest.c_str());
  ASSERT_NE(save, nullptr) << std::strerror(static_cast<int>(PlatformLastError()));
  ASSERT_TRUE(PlatformFinishSave(save, bytes_, sizeof bytes_));
  EXPECT_EQ(Content(longest), Bytes());
  EXPECT_EQ(PlatformBeginSave((longest + "n").c_str()), nullptr);
  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ENAMETOOLONG));
}

// Cut off by a file size limit (ulimit -f), in a process that, as the tool, sets nothing for
// SIGXFSZ: the save fails with EFBIG and nothing stands under the name.
TEST_F(SaveFileTest, FileSizeLimitFailsTheSaveNotTheTool) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SaveFile* save = PlatformBeginSave((folder_ + "/cut.bin").c_str());
    struct rlimit small {};
    getrlimit(RLIMIT_FSIZE, &small);
    small.rlim_cur = 100;
    setrlimit(RLIMIT_FSIZE, &small);
    _exit(save == nullptr || PlatformFinishSave(save, bytes_, sizeof bytes_) ? 1 : static_cast<int>(PlatformLastError()));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), EFBIG);
  EXPECT_EQ(Entries(folder_), std::vector<std::string>{});
}

// Folders whose file system has no rename that refuses to replace, or no hard links either
// (exFAT through FUSE, MTP, shared folders of virtual machines): renameat2 and link below
// answer as there while g_lacking says so.
int g_lacking = 0;  // 1: renameat2 has no RENAME_NOREPLACE; 2: and link is refused too

TEST_F(SaveFileTest, WithoutNoReplaceRenameOrLinksStillNeverReplaces) {
  for (const int lacking : {1, 2}) {
    const std::string image = folder_ + "/lacking" + std::to_string(lacking);
    SaveFile* save = PlatformBeginSave(image.c_str());
    ASSERT_NE(save, nullptr);
    g_lacking = lacking;
    EXPECT_TRUE(PlatformFinishSave(save, bytes_, sizeof bytes_)) << lacking << ": " << std::strerror(static_cast<int>(PlatformLastError()));
    g_lacking = 0;
    EXPECT_EQ(Content(image), Bytes());
  }
  SaveFile* save = PlatformBeginSave((folder_ + "/late.bin").c_str());
  ASSERT_NE(save, nullptr);
  std::FILE* other = std::fopen((folder_ + "/late.bin").c_str(), "w");
  std::fputs("other", other);
  std::fclose(other);
  g_lacking = 2;
  EXPECT_FALSE(PlatformFinishSave(save, bytes_, sizeof bytes_));
  g_lacking = 0;
  EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(EEXIST));
  EXPECT_EQ(Content(folder_ + "/late.bin"), "other");
  EXPECT_EQ(Entries(folder_), (std::vector<std::string>{"lacking1", "lacking2", "late.bin"}));
}

}  // namespace

// The seam's own calls reach these before the C library's.
extern "C" int renameat2(int fromFolder, const char* from, int toFolder, const char* to,
                         unsigned flags) noexcept {
  if (g_lacking >= 1) return errno = EINVAL, -1;
  return static_cast<int>(syscall(SYS_renameat2, fromFolder, from, toFolder, to, flags));
}

extern "C" int link(const char* from, const char* to) noexcept {
  if (g_lacking >= 2) return errno = EPERM, -1;
  return static_cast<int>(syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0));
}

# Cross-compiles eepromfix for 64-bit ARM Linux (Raspberry Pi OS 64-bit, Debian and Ubuntu arm64)
# with Debian's g++-aarch64-linux-gnu; the tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

find_program(CMAKE_C_COMPILER NAMES aarch64-linux-gnu-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES aarch64-linux-gnu-g++ REQUIRED)

# Debian's multiarch layout: arm64 libraries (libc6:arm64, libusb-1.0-0-dev:arm64) live in
# /usr/lib/aarch64-linux-gnu beside the host's, and pkg-config reads only their .pc files.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# Built programs, the tests included, run under qemu-user (no binfmt_misc needed) with those
# same multiarch libraries (libc6:arm64, libstdc++6:arm64). Not with the cross toolchain's own
# copies (-L /usr/aarch64-linux-gnu): with them, a fork in the guest hangs under qemu 7.2.
find_program(EEPROMFIX_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(EEPROMFIX_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${EEPROMFIX_QEMU_AARCH64})
endif()

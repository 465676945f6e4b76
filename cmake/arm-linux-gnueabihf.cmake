# Cross-compiles eepromfix for 32-bit ARM Linux (Raspberry Pi OS 32-bit, Debian and Ubuntu armhf:
# ARMv7 with hardware floating point) with Debian's g++-arm-linux-gnueabihf; the tests run under
# qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

find_program(CMAKE_C_COMPILER NAMES arm-linux-gnueabihf-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES arm-linux-gnueabihf-g++ REQUIRED)

# Debian's multiarch layout, as for arm64 (cmake/aarch64-linux-gnu.cmake): the armhf libraries
# in /usr/lib/arm-linux-gnueabihf, and only their .pc files for pkg-config.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)

# Built programs, the tests included, run under qemu-user with the multiarch libraries (libc6:armhf,
# libstdc++6:armhf), for the same reason as on arm64.
find_program(EEPROMFIX_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(EEPROMFIX_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${EEPROMFIX_QEMU_ARM})
endif()

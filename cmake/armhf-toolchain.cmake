# Cross build for the head unit: 32-bit little-endian ARM, hard-float ABI,
# against Debian's multiarch armhf packages installed beside the host's.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# Needs crossbuild-essential-armhf, qemu-user, qtbase5-dev:armhf and
# qtmultimedia5-dev:armhf (.ci/armhf.sh installs them when missing).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Libraries, headers and CMake package files come from the armhf side of the
# multiarch tree (lib/arm-linux-gnueabihf, include/arm-linux-gnueabihf);
# programs that run during the build (moc, rcc, uic) are the host's.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The armhf dynamic loader and libraries sit at their real multiarch paths, so
# plain qemu-arm finds them. "-L /usr/arm-linux-gnueabihf" would mix in the
# cross compiler's own libc and crash Qt.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

# pkg-config (libdlt) looks at the armhf .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)

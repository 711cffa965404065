# Cross-build for the 32-bit ARM controller (armhf) with Debian's cross compiler and the
# multiarch armhf development packages (libspdlog-dev:armhf, libgtest-dev:armhf, ...).
# Programs built here run on the build machine through qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Multiarch: find_package and find_library look in /usr/lib/arm-linux-gnueabihf.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
# GCC notes on every std::vector iterator argument that the ARM ABI passes differently since
# GCC 7.1; nothing here mixes code from such old compilers.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

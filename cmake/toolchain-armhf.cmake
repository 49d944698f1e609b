# A 32-bit ARM build (hard float, ILP32) with Debian's cross toolchain
# (crossbuild-essential-armhf); tests run under the user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
find_program(KRMODULE_QEMU_ARM qemu-arm REQUIRED)
# The loader of /usr/arm-linux-gnueabihf must load the C library beside it, not the multiarch one
# that libcrypto's package brought: they are different builds and do not mix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KRMODULE_QEMU_ARM} -L /usr/arm-linux-gnueabihf
    -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib)
# libcrypto comes from the armhf multiarch package (libssl-dev:armhf).
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")

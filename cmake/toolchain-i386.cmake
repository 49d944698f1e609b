# A 32-bit x86 (ILP32) build with Debian's cross toolchain (crossbuild-essential-i386). The
# kernel here runs no 32-bit binaries, so tests run under the user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
find_program(KRMODULE_QEMU_I386 qemu-i386 REQUIRED)
# The loader of /usr/i686-linux-gnu must load the C library beside it, not the multiarch one
# that libcrypto's package brought: they are different builds and do not mix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KRMODULE_QEMU_I386} -L /usr/i686-linux-gnu
    -E LD_LIBRARY_PATH=/usr/i686-linux-gnu/lib)
# Libraries found through pkg-config (libcrypto) come from the i386 multiarch directory, not the
# build machine's own; the cross compiler puts /usr/include/i386-linux-gnu before /usr/include,
# so the per-arch configuration headers match.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")

# A 32-bit (ILP32) build on an x86-64 machine. The kernel here runs no 32-bit binaries, so
# tests run under the user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
find_program(KRMODULE_QEMU_I386 qemu-i386 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KRMODULE_QEMU_I386})
# Libraries found through pkg-config (libcrypto) come from the 32-bit multiarch directory, not
# the build machine's own; the compiler already puts /usr/include/i386-linux-gnu before
# /usr/include for -m32, so the per-arch configuration headers match.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")

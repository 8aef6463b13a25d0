# Cross build for 64-bit Arm Linux on a Debian x86-64 host (`make test-arm`).
# tools/deps.sh --arm64 installs Debian's cross compiler, qemu-user and the
# arm64 multiarch development packages this file expects.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries come from the multiarch tree of the host root (/usr/lib/aarch64-linux-gnu);
# programs such as Python and FFmpeg's command-line tools stay the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# CTest runs every test, and GoogleTest discovery, through qemu's user-mode
# emulator. "max" enables every extension qemu implements, SVE and SVE2
# included, at qemu's default SVE vector length of 512 bits.
#
# The arm64 multiarch packages bring their own loader and C library to the host
# root, so the binaries need no sysroot. -L names qemu-root/ instead, which
# holds only proc/cpuinfo: qemu 7.2 passes the host's x86 /proc/cpuinfo
# through, and the CPU detection inside ONNX Runtime, finding no Arm core
# there, crashes while the library loads. qemu looks a path up under -L first
# and falls back to the host for everything that is not there.
find_program(LE_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(LE_QEMU_ROOT ${CMAKE_CURRENT_LIST_DIR}/qemu-root)
set(CMAKE_CROSSCOMPILING_EMULATOR ${LE_QEMU_AARCH64} -cpu max -L ${LE_QEMU_ROOT})

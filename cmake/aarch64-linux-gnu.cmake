# Cross build for aarch64 Debian 12 with Debian's cross compiler (g++-aarch64-linux-gnu)
# against an arm64 Debian tree used as the sysroot (scripts/cross-aarch64.sh makes one):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DNIMBRA_AARCH64_SYSROOT=/path/to/arm64-tree
# The tree's libraries, pkg-config files, CMake packages and Python 3.11 are used; host
# programs (pkg-config, python3 for the test models) stay the host's. Test executables
# run under qemu-aarch64 with the tree as its library prefix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The toolchain file is read again in every try_compile project: keep the tree in the
# environment so those see it too.
if(NIMBRA_AARCH64_SYSROOT)
  set(ENV{NIMBRA_AARCH64_SYSROOT} "${NIMBRA_AARCH64_SYSROOT}")
else()
  set(NIMBRA_AARCH64_SYSROOT "$ENV{NIMBRA_AARCH64_SYSROOT}")
endif()
if(NOT IS_DIRECTORY "${NIMBRA_AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu")
  message(FATAL_ERROR "NIMBRA_AARCH64_SYSROOT must name an arm64 Debian tree (got '${NIMBRA_AARCH64_SYSROOT}')")
endif()

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT "${NIMBRA_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${NIMBRA_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Host pkg-config reading the tree's .pc files, with the tree prefixed to their paths.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${NIMBRA_AARCH64_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
  "${NIMBRA_AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${NIMBRA_AARCH64_SYSROOT}/usr/lib/pkgconfig:${NIMBRA_AARCH64_SYSROOT}/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# The Python module is built for the tree's interpreter: asked under emulation (through
# binfmt_misc, with QEMU_LD_PREFIX), it gives the aarch64 module suffix and headers.
set(ENV{QEMU_LD_PREFIX} "${NIMBRA_AARCH64_SYSROOT}")
set(Python3_EXECUTABLE "${NIMBRA_AARCH64_SYSROOT}/usr/bin/python3.11" CACHE FILEPATH
  "The target's Python interpreter (run under qemu-user)")
# Run from the tree, the interpreter reports its headers under the tree already, which the
# find-root re-rooting would prefix a second time.
set(Python3_INCLUDE_DIR "${NIMBRA_AARCH64_SYSROOT}/usr/include/python3.11" CACHE PATH
  "The target's Python headers")

# ctest runs test executables through qemu-user with the tree as the library prefix.
find_program(NIMBRA_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${NIMBRA_QEMU_AARCH64};-L;${NIMBRA_AARCH64_SYSROOT}")

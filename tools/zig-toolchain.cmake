# Compiles with Zig's clang (the `ziglang` package from PyPI) for an old glibc, so that one
# wheel runs on every Linux from glibc 2.17 on (manylinux2014): Zig links against the symbol
# versions of the glibc it is told, not of this machine, and brings its own C++ runtime (LLVM's
# libc++ and libunwind), which it links statically. tools/wheels.py builds every wheel this way.
#
#   cmake -S . -B build/zig --toolchain tools/zig-toolchain.cmake \
#         -DVEXDAL_ZIG="$(python -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')/zig" \
#         -DVEXDAL_ZIG_TARGET=aarch64-linux-gnu.2.17
#
# VEXDAL_ZIG_TARGET: x86_64-linux-gnu.2.17, aarch64-linux-gnu.2.17 or arm-linux-gnueabihf.2.17.
# A target of another architecture than this machine's is a cross build, and needs
#   VEXDAL_ZIG_SYSROOT  Debian's packages of the target unpacked with dpkg -x: its interpreter,
#                       the Python headers (libpython3.X-dev has the per-architecture
#                       pyconfig.h) and the shared libraries the emulator loads
#   VEXDAL_ZIG_QEMU     qemu-aarch64 or qemu-arm, which runs the target's interpreter for
#                       FindPython (with -DCMAKE_POLICY_DEFAULT_CMP0190=NEW, CMake 4.1 or later:
#                       tools/armhf-toolchain.cmake says why) and the target's test programs
# Zig's own libc headers serve the build; the sysroot is not the compiler's --sysroot.

if(NOT VEXDAL_ZIG_TARGET)
  message(FATAL_ERROR "Set VEXDAL_ZIG_TARGET, e.g. x86_64-linux-gnu.2.17")
endif()
if(NOT VEXDAL_ZIG)
  find_program(VEXDAL_ZIG NAMES zig REQUIRED)
endif()
# try_compile projects read this file again and see only the variables listed here; the
# compiler they get is the outer project's, so the wrappers are written once.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VEXDAL_ZIG VEXDAL_ZIG_TARGET VEXDAL_ZIG_SYSROOT
     VEXDAL_ZIG_QEMU VEXDAL_ZIG_WRAPPERS)

string(REGEX MATCH "^[^-]+" vexdal_zig_arch "${VEXDAL_ZIG_TARGET}")
# The oldest processor each wheel's architecture promises: Zig's baseline for x86_64 and
# aarch64 is already that (x86-64, ARMv8-A); for 32-bit ARM it has NEON and 32 double registers,
# which Debian's armhf and manylinux's armv7l (ARMv7-A, VFPv3-D16) do not require.
if(vexdal_zig_arch STREQUAL "arm")
  set(vexdal_zig_cpu baseline-neon-d32)
  set(vexdal_zig_processor arm)
else()
  set(vexdal_zig_cpu baseline)
  set(vexdal_zig_processor ${vexdal_zig_arch})
endif()

# CMake wants one program per tool; Zig is one program with the tool as its first argument.
if(NOT VEXDAL_ZIG_WRAPPERS)
  set(VEXDAL_ZIG_WRAPPERS "${CMAKE_BINARY_DIR}/zig-${VEXDAL_ZIG_TARGET}")
  foreach(tool cc c++ ar ranlib)
    if(tool MATCHES "^c")
      set(vexdal_zig_args "${tool} -target ${VEXDAL_ZIG_TARGET} -mcpu=${vexdal_zig_cpu}")
    else()
      set(vexdal_zig_args "${tool}")
    endif()
    file(WRITE "${VEXDAL_ZIG_WRAPPERS}/${tool}"
         "#!/bin/sh\nexec \"${VEXDAL_ZIG}\" ${vexdal_zig_args} \"$@\"\n")
    file(CHMOD "${VEXDAL_ZIG_WRAPPERS}/${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
endif()
set(CMAKE_C_COMPILER "${VEXDAL_ZIG_WRAPPERS}/cc")
set(CMAKE_CXX_COMPILER "${VEXDAL_ZIG_WRAPPERS}/c++")
set(CMAKE_AR "${VEXDAL_ZIG_WRAPPERS}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${VEXDAL_ZIG_WRAPPERS}/ranlib" CACHE FILEPATH "")

cmake_host_system_information(RESULT vexdal_host_arch QUERY OS_PLATFORM)
if(vexdal_zig_arch STREQUAL vexdal_host_arch)
  return()
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${vexdal_zig_processor})
if(NOT VEXDAL_ZIG_SYSROOT OR NOT VEXDAL_ZIG_QEMU)
  message(FATAL_ERROR "A cross build needs VEXDAL_ZIG_SYSROOT and VEXDAL_ZIG_QEMU")
endif()
# Debian's python3.X/pyconfig.h includes <TRIPLET/python3.X/pyconfig.h> from the sysroot's
# /usr/include; -idirafter keeps Zig's libc headers ahead of anything else found there.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${VEXDAL_ZIG_SYSROOT}/usr/include")
set(CMAKE_FIND_ROOT_PATH "${VEXDAL_ZIG_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR "${VEXDAL_ZIG_QEMU};-L;${VEXDAL_ZIG_SYSROOT}")

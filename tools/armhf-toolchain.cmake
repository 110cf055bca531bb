# Cross-compiles for 32-bit ARM hard-float Linux (armhf) with Debian's g++-arm-linux-gnueabihf,
# against a sysroot of Debian armhf packages unpacked with dpkg -x (see tools/matrix.sh).
#
#   cmake -S . -B build/armhf --toolchain tools/armhf-toolchain.cmake \
#         -DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DVEXDAL_ARMHF_SYSROOT=/path/to/sysroot \
#         -DPython_EXECUTABLE=/path/to/sysroot/usr/bin/python3.11
#
# CMake 4.1 or later, with CMP0190 NEW given on the command line: only then does FindPython run
# the armhf interpreter through the emulator and take headers and ABI from the target alone. The
# policy cannot be set here: cmake_minimum_required() has run before this file is read, and
# CMakeLists.txt does not name the policy, so it stays unset (OLD) unless given as a default.
#
# The sysroot holds the target's interpreter, headers and shared libraries only. The compiler
# keeps its own C and C++ runtime headers and libraries (/usr/arm-linux-gnueabihf), so it is not
# given --sysroot: the sysroot has no libc6-dev or libstdc++-dev, and needs none.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

if(NOT VEXDAL_ARMHF_SYSROOT AND DEFINED ENV{VEXDAL_ARMHF_SYSROOT})
  set(VEXDAL_ARMHF_SYSROOT "$ENV{VEXDAL_ARMHF_SYSROOT}")
endif()
if(NOT VEXDAL_ARMHF_SYSROOT)
  message(FATAL_ERROR "Set VEXDAL_ARMHF_SYSROOT to the unpacked armhf sysroot")
endif()
# try_compile projects read this file again; they see only the variables listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VEXDAL_ARMHF_SYSROOT)

set(VEXDAL_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${VEXDAL_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VEXDAL_ARMHF_TRIPLET}-g++)

# Debian's python3.X/pyconfig.h only picks the per-architecture one:
# #include <arm-linux-gnueabihf/python3.11/pyconfig.h>, which lives under the sysroot's
# /usr/include. -idirafter puts that directory behind the compiler's own, so the sysroot's libc
# headers (none are unpacked, but a later package could bring some) never shadow the toolchain's.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${VEXDAL_ARMHF_SYSROOT}/usr/include")

# Headers and libraries of the target come from the sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH "${VEXDAL_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindPython asks the armhf interpreter for its ABI tag, include directory and extension suffix;
# the emulator runs it, and also runs armhf test executables for ctest. -L makes the emulated
# loader find ld-linux-armhf.so.3 and the shared libraries inside the sysroot.
find_program(VEXDAL_QEMU_ARM NAMES qemu-arm qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${VEXDAL_QEMU_ARM};-L;${VEXDAL_ARMHF_SYSROOT}")

# Cross build for ARMv5TE and later 32-bit ARM Linux boards, soft float
# (Debian's armel: g++-arm-linux-gnueabi). The static result runs on ARM926,
# XScale, ARM11 and ARMv7 cores alike:
#   cmake -S . -B build-armel-static -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake -DDRIMLET_STATIC=ON
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi /usr/lib/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian's compiler already defaults to these; saying them keeps the objects
# ARMv5TE with no floating-point unit when another arm-linux-gnueabi compiler
# (one that defaults to ARMv7, say) is first on PATH. -Wno-psabi: GCC notes
# that std::vector's iterator is passed differently than GCC 6 did; nothing
# here links against code that old.
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mfloat-abi=soft -Wno-psabi")
set(CMAKE_C_FLAGS_INIT "-march=armv5te -mfloat-abi=soft")
# Tests and try_run go through qemu-user on an ARMv5TE core by default;
# -DDRIMLET_QEMU_CPU=pxa270 (XScale) or any `qemu-arm -cpu help` model instead.
set(DRIMLET_QEMU_CPU arm926 CACHE STRING "qemu-arm CPU model the target's programs run on")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu ${DRIMLET_QEMU_CPU} -L /usr/arm-linux-gnueabi)

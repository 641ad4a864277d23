# 64-bit ARM (Debian's arm64): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm64.cmake
set(ZEZI_VIDAD_CROSS_TRIPLET aarch64-linux-gnu)
set(ZEZI_VIDAD_CROSS_PROCESSOR aarch64)
set(ZEZI_VIDAD_CROSS_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# 32-bit ARM with hardware floating point (Debian's armhf):
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
set(ZEZI_VIDAD_CROSS_TRIPLET arm-linux-gnueabihf)
set(ZEZI_VIDAD_CROSS_PROCESSOR arm)
set(ZEZI_VIDAD_CROSS_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# Cross-compiling for another Debian architecture on a Debian 12 machine: Debian's cross
# compilers (crossbuild-essential-ARCH), the target's libraries through multiarch
# (libssl-dev:ARCH and the like, under /usr/lib/TRIPLET), and the target's programs run by
# qemu-user with the target's loader and libraries, for tests and for the programs the build
# runs. Included by the per-architecture files, which set the triplet and the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ZEZI_VIDAD_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${ZEZI_VIDAD_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZEZI_VIDAD_CROSS_TRIPLET}-g++)
# find_package and find_library look in /usr/lib/TRIPLET, never in the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE ${ZEZI_VIDAD_CROSS_TRIPLET})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ZEZI_VIDAD_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEZI_VIDAD_CROSS_EMULATOR};-L;/usr/${ZEZI_VIDAD_CROSS_TRIPLET})

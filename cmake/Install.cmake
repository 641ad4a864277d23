# Installs the library, its public headers under include/zezi_vidad/, the programs, a CMake
# package (find_package(ZeziVidad) -> ZeziVidad::zezi_vidad) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZEZI_VIDAD_HEADER_ROOT ${CMAKE_INSTALL_INCLUDEDIR}/zezi_vidad)
# Headers include one another as "envelope/types.h"; consumers may write either
# <zezi_vidad/envelope/builder.h> or "envelope/builder.h".
target_include_directories(zezi_vidad PUBLIC
  $<INSTALL_INTERFACE:${ZEZI_VIDAD_HEADER_ROOT}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

foreach(folder envelope encoding opener selftest)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${folder}/ DESTINATION ${ZEZI_VIDAD_HEADER_ROOT}/${folder}
          FILES_MATCHING PATTERN "*.h")
endforeach()

install(TARGETS zezi_vidad EXPORT ZeziVidadTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zezi-vidad-selftest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET zezi-vidad)
  install(TARGETS zezi-vidad RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(ZEZI_VIDAD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZeziVidad)
install(EXPORT ZeziVidadTargets NAMESPACE ZeziVidad:: DESTINATION ${ZEZI_VIDAD_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ZeziVidadConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZeziVidadConfig.cmake INSTALL_DESTINATION ${ZEZI_VIDAD_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZeziVidadConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZeziVidadConfig.cmake
              ${PROJECT_BINARY_DIR}/ZeziVidadConfigVersion.cmake
        DESTINATION ${ZEZI_VIDAD_CMAKE_DIR})

# Relative to the .pc file, so the tree stays valid wherever it is installed.
file(RELATIVE_PATH ZEZI_VIDAD_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" ZEZI_VIDAD_PC_TO_PREFIX "${ZEZI_VIDAD_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/zezi-vidad.pc.in ${PROJECT_BINARY_DIR}/zezi-vidad.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zezi-vidad.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

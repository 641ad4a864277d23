# Installs the library, the public headers (cmake/PublicHeaders.cmake) under
# include/zezi_vidad/ and the device library's again, alone, under
# include/zezi-vidad-device/zezi_vidad/, the programs, a CMake package (find_package(ZeziVidad) ->
# ZeziVidad::zezi_vidad, and ZeziVidad::device for the device library alone) and a
# pkg-config file for each library (zezi-vidad, zezi-vidad-device).
#
# The documents the programs' help, man pages and settings point to go to each package's
# folder under share/doc: the device's guide and the TPM's with the device's program, the
# format (its trust list section) and the TPM's with both, since the tool writes trust
# lists and makes TPM-held signer keys. The TPM import script is the device's command
# zezi-vidad-tpm-import, in sbin (it needs the TPM, root's), with a man page from its --help.
#
# Every rule names its component, which the Debian packages (debian/) are made of: `tool`
# (the programs, the man page and the device's system files), `runtime` (the shared
# libraries) and `development` (headers, CMake package, pkg-config files, static libraries
# and the shared libraries' development links). The `install_components` test fails on a
# rule that names none.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

foreach(staged IN LISTS ZEZI_VIDAD_STAGED_HEADERS)
  file(RELATIVE_PATH relative ${ZEZI_VIDAD_STAGED_INCLUDE_DIR} ${staged})
  get_filename_component(folder ${relative} DIRECTORY)
  install(FILES ${staged} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${folder} COMPONENT development)
endforeach()

install(TARGETS zezi_vidad zezi_vidad_device EXPORT ZeziVidadTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                NAMELINK_COMPONENT development)
install(TARGETS zezi-vidad-selftest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
if(TARGET zezi-vidad)
  install(TARGETS zezi-vidad RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
endif()
if(TARGET zezi-vidad-device)
  install(TARGETS zezi-vidad-device RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT device)
endif()

set(ZEZI_VIDAD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZeziVidad)
install(EXPORT ZeziVidadTargets NAMESPACE ZeziVidad:: DESTINATION ${ZEZI_VIDAD_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ZeziVidadConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZeziVidadConfig.cmake INSTALL_DESTINATION ${ZEZI_VIDAD_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZeziVidadConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZeziVidadConfig.cmake
              ${PROJECT_BINARY_DIR}/ZeziVidadConfigVersion.cmake
        DESTINATION ${ZEZI_VIDAD_CMAKE_DIR} COMPONENT development)

# Relative to the .pc file, so the tree stays valid wherever it is installed.
file(RELATIVE_PATH ZEZI_VIDAD_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" ZEZI_VIDAD_PC_TO_PREFIX "${ZEZI_VIDAD_PC_TO_PREFIX}")
foreach(package IN ITEMS zezi-vidad zezi-vidad-device)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${package}.pc.in ${PROJECT_BINARY_DIR}/${package}.pc
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${package}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT development)
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/docs/device.md ${PROJECT_SOURCE_DIR}/docs/format.md
              ${PROJECT_SOURCE_DIR}/docs/tpm.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zezi-vidad-device COMPONENT device)
install(FILES ${PROJECT_SOURCE_DIR}/docs/format.md ${PROJECT_SOURCE_DIR}/docs/tpm.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zezi-vidad COMPONENT tool)

# The script with its version written in; configure_file keeps its mode.
set(ZEZI_VIDAD_TPM_IMPORT ${PROJECT_BINARY_DIR}/zezi-vidad-tpm-import)
configure_file(${PROJECT_SOURCE_DIR}/tools/tpm-import-fleet-key.sh ${ZEZI_VIDAD_TPM_IMPORT} @ONLY)
install(PROGRAMS ${ZEZI_VIDAD_TPM_IMPORT} DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT device)
if(ZEZI_VIDAD_HELP2MAN)
  set(page ${PROJECT_BINARY_DIR}/zezi-vidad-tpm-import.8)
  add_custom_command(OUTPUT ${page}
    COMMAND ${ZEZI_VIDAD_HELP2MAN} --no-info --section=8
            "--name=import the fleet key into the device's TPM" --output=${page}
            ${ZEZI_VIDAD_TPM_IMPORT}
    DEPENDS ${ZEZI_VIDAD_TPM_IMPORT}
    COMMENT "Writing the zezi-vidad-tpm-import man page with help2man" VERBATIM)
  add_custom_target(zezi-vidad-tpm-import_man_page ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT device)
endif()

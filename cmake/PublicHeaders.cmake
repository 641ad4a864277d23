# The public headers, as consumers see them: copied into <build>/include/zezi_vidad/ with
# their includes of one another written as <zezi_vidad/...>, so that a consumer needs only
# <prefix>/include on its path. The install takes this staged tree; programs in the build
# that stand for a consumer (the C interface's test) compile against it too.
#
# Each entry is a path in the source tree (generated ones under ZEZI_VIDAD_GENERATED_DIR);
# api/ goes to the top of zezi_vidad/, the other folders keep their names. They say what a
# consumer calls and nothing else: internal steps and fixed inputs for tests stay in the
# headers beside them, which are never installed. At most 14 (ARCHITECTURE.md).
#
# The device library's headers, the opening side, are also staged alone in a root of their
# own, <build>/include/zezi-vidad-device (installed as <prefix>/include/zezi-vidad-device),
# which is the device library's only include folder: a device program finds
# <zezi_vidad/device.h> and <zezi_vidad/device.hpp> there and no header that declares what
# the device library does not have, so a call to a sealing function does not compile.
include(GNUInstallDirs)

# Each includes only others of this list.
set(ZEZI_VIDAD_DEVICE_HEADERS
  api/device.h
  api/device.hpp
  api/version.h
  base/bytes.h
  base/export.h
  crypto/types.h
  opener/open_envelope.h
  opener/open_signed_envelope.h
)
set(ZEZI_VIDAD_PUBLIC_HEADERS
  ${ZEZI_VIDAD_DEVICE_HEADERS}
  api/zezi_vidad.h
  api/zezi_vidad.hpp
  sealer/builder.h
  sealer/key_files.h
  sealer/signature_file.h
  selftest/run_self_test.h
)
set(ZEZI_VIDAD_STAGED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
set(ZEZI_VIDAD_DEVICE_INCLUDE_FOLDER zezi-vidad-device)
set(ZEZI_VIDAD_STAGED_DEVICE_INCLUDE_DIR
    ${ZEZI_VIDAD_STAGED_INCLUDE_DIR}/${ZEZI_VIDAD_DEVICE_INCLUDE_FOLDER})

set(ZEZI_VIDAD_STAGED_HEADERS)
foreach(header IN LISTS ZEZI_VIDAD_PUBLIC_HEADERS)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${header})
    set(source ${PROJECT_SOURCE_DIR}/${header})
  else()
    set(source ${ZEZI_VIDAD_GENERATED_DIR}/${header})
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)

  # A public header may include only public headers, and a device header only device ones.
  set(roots ${ZEZI_VIDAD_STAGED_INCLUDE_DIR})
  set(allowed ZEZI_VIDAD_PUBLIC_HEADERS)
  if(header IN_LIST ZEZI_VIDAD_DEVICE_HEADERS)
    list(APPEND roots ${ZEZI_VIDAD_STAGED_DEVICE_INCLUDE_DIR})
    set(allowed ZEZI_VIDAD_DEVICE_HEADERS)
  endif()
  string(REGEX MATCHALL "#include \"[^\"]+\"" includes "${text}")
  foreach(include IN LISTS includes)
    string(REGEX REPLACE "#include \"([^\"]+)\"" "\\1" included "${include}")
    if(NOT included IN_LIST ${allowed})
      message(FATAL_ERROR "public header ${header} includes ${included}, which is not in "
                          "${allowed}")
    endif()
  endforeach()

  string(REGEX REPLACE "#include \"api/([^\"]+)\"" "#include <zezi_vidad/\\1>" text "${text}")
  string(REGEX REPLACE "#include \"([^\"]+)\"" "#include <zezi_vidad/\\1>" text "${text}")
  string(REGEX REPLACE "^api/" "" staged ${header})
  foreach(root IN LISTS roots)
    # Written only when the text changes, so an unchanged header rebuilds nothing.
    file(CONFIGURE OUTPUT ${root}/zezi_vidad/${staged} CONTENT "${text}" @ONLY)
    list(APPEND ZEZI_VIDAD_STAGED_HEADERS ${root}/zezi_vidad/${staged})
  endforeach()
endforeach()

# The full library sees every public header; the device library its own alone, in the build
# (for the programs here that link it) as installed.
target_include_directories(zezi_vidad PUBLIC
  $<BUILD_INTERFACE:${ZEZI_VIDAD_STAGED_INCLUDE_DIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(zezi_vidad_device PUBLIC
  $<BUILD_INTERFACE:${ZEZI_VIDAD_STAGED_DEVICE_INCLUDE_DIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/${ZEZI_VIDAD_DEVICE_INCLUDE_FOLDER}>)

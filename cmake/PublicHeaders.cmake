# The public headers, as consumers see them: copied into <build>/include/zezi_vidad/ with
# their includes of one another written as <zezi_vidad/...>, so that a consumer needs only
# <prefix>/include on its path. The install takes this staged tree; programs in the build
# that stand for a consumer (the C interface's test) compile against it too.
#
# Each entry is a path in the source tree (generated ones under ZEZI_VIDAD_GENERATED_DIR);
# api/ goes to the top of zezi_vidad/, the other folders keep their names. They say what a
# consumer calls and nothing else: internal steps and fixed inputs for tests stay in the
# headers beside them, which are never installed. At most 12 (ARCHITECTURE.md).
include(GNUInstallDirs)

set(ZEZI_VIDAD_PUBLIC_HEADERS
  api/zezi_vidad.h
  api/zezi_vidad.hpp
  api/version.h
  base/bytes.h
  base/export.h
  crypto/types.h
  sealer/builder.h
  sealer/key_files.h
  sealer/signature_file.h
  opener/open_envelope.h
  opener/open_signed_envelope.h
  selftest/run_self_test.h
)
set(ZEZI_VIDAD_STAGED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)

set(ZEZI_VIDAD_STAGED_HEADERS)
foreach(header IN LISTS ZEZI_VIDAD_PUBLIC_HEADERS)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${header})
    set(source ${PROJECT_SOURCE_DIR}/${header})
  else()
    set(source ${ZEZI_VIDAD_GENERATED_DIR}/${header})
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)

  # A public header may include only public headers.
  string(REGEX MATCHALL "#include \"[^\"]+\"" includes "${text}")
  foreach(include IN LISTS includes)
    string(REGEX REPLACE "#include \"([^\"]+)\"" "\\1" included "${include}")
    if(NOT included IN_LIST ZEZI_VIDAD_PUBLIC_HEADERS)
      message(FATAL_ERROR "public header ${header} includes ${included}, which is not public")
    endif()
  endforeach()

  string(REGEX REPLACE "#include \"api/([^\"]+)\"" "#include <zezi_vidad/\\1>" text "${text}")
  string(REGEX REPLACE "#include \"([^\"]+)\"" "#include <zezi_vidad/\\1>" text "${text}")
  string(REGEX REPLACE "^api/" "" staged ${header})
  set(staged ${ZEZI_VIDAD_STAGED_INCLUDE_DIR}/zezi_vidad/${staged})
  # Written only when the text changes, so an unchanged header rebuilds nothing.
  file(CONFIGURE OUTPUT ${staged} CONTENT "${text}" @ONLY)
  list(APPEND ZEZI_VIDAD_STAGED_HEADERS ${staged})
endforeach()

foreach(library IN ITEMS zezi_vidad zezi_vidad_device)
  target_include_directories(${library} PUBLIC
    $<BUILD_INTERFACE:${ZEZI_VIDAD_STAGED_INCLUDE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()

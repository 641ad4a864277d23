# The installed headers, chosen by name, as consumers see them in <build>/include/zezi_vidad/
# (where the programs in the build that stand for a consumer compile against them too), and
# nothing else: the C interface (device.h, and zezi_vidad.h, which includes it and adds
# sealing), the C++ opening side (device.hpp), the C++ sealing side (zezi_vidad.hpp, which
# includes device.hpp and adds the rest) and version.h. A consumer needs only <prefix>/include
# on its path; no internal folder is installed (ARCHITECTURE.md).
#
# An installed header is its source under api/ with each include of another installed
# header written as <zezi_vidad/...>, and each other include, a part, replaced by that part's
# text: the parts are the internal headers that hold public declarations alone, named one
# an include line in the source (api/device.hpp lists the opening side's). A part comes
# after the parts it includes, once; its own includes of the standard library and OpenSSL
# go to the top. The configure fails when a part includes a header that is neither a part of
# the same installed header nor of one that it includes, or declares a function that is not
# exported (cmake/PublicHeaderParts.cmake). So every declaration has one text, in the header
# named for its .cpp, which the library's own code includes.
#
# The device library's headers, the opening side, are also staged alone in a root of their
# own, <build>/include/zezi-vidad-device (installed as <prefix>/include/zezi-vidad-device),
# which is the device library's only include folder: a device program finds
# <zezi_vidad/device.h> and <zezi_vidad/device.hpp> there and no header that declares what
# the device library does not have, so a call to a sealing function does not compile.
include(GNUInstallDirs)
include(${CMAKE_CURRENT_LIST_DIR}/PublicHeaderParts.cmake)

# Each includes only the others of its list.
set(ZEZI_VIDAD_DEVICE_HEADERS api/device.h api/device.hpp api/version.h)
set(ZEZI_VIDAD_PUBLIC_HEADERS ${ZEZI_VIDAD_DEVICE_HEADERS} api/zezi_vidad.h api/zezi_vidad.hpp)
set(ZEZI_VIDAD_STAGED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
set(ZEZI_VIDAD_DEVICE_INCLUDE_FOLDER zezi-vidad-device)
set(ZEZI_VIDAD_STAGED_DEVICE_INCLUDE_DIR
    ${ZEZI_VIDAD_STAGED_INCLUDE_DIR}/${ZEZI_VIDAD_DEVICE_INCLUDE_FOLDER})

function(zezi_vidad_read_header header out)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${header})
    set(source ${PROJECT_SOURCE_DIR}/${header})
  else()
    set(source ${ZEZI_VIDAD_GENERATED_DIR}/${header})
  endif()
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The quoted includes of `text`, as paths, in `out`.
function(zezi_vidad_quoted_includes text out)
  string(REGEX MATCHALL "#include \"[^\"]+\"" includes "${text}")
  list(TRANSFORM includes REPLACE "#include \"([^\"]+)\"" "\\1")
  set(${out} "${includes}" PARENT_SCOPE)
endfunction()

# Appends `part`, after the parts it includes, to the caller's `folded_text` and its other
# includes to `folded_system`, unless `folded_parts` holds it already. `allowed` are the parts
# it may include, `header` the installed header it goes into.
function(zezi_vidad_fold part)
  if(part IN_LIST folded_parts)
    return()
  endif()
  zezi_vidad_read_header(${part} text)
  zezi_vidad_unexported_declarations("${text}" unexported)
  if(unexported)
    message(FATAL_ERROR "${part}, a part of the installed ${header}, declares what the library "
                        "does not export: ${unexported}")
  endif()
  zezi_vidad_quoted_includes("${text}" includes)
  foreach(included IN LISTS includes)
    if(NOT included IN_LIST allowed)
      message(FATAL_ERROR "${part}, a part of the installed ${header}, includes ${included}, "
                          "which is not a part of it nor of an installed header it includes")
    endif()
    zezi_vidad_fold(${included})
  endforeach()
  string(REGEX MATCHALL "#include <[^>]+>" system "${text}")
  string(REGEX REPLACE "#pragma once\n|#include [<\"][^>\"]+[>\"]\n" "" text "${text}")
  string(REGEX REPLACE "\n\n\n+" "\n\n" text "${text}")
  string(STRIP "${text}" text)
  list(APPEND folded_parts ${part})
  list(APPEND folded_system ${system})
  string(APPEND folded_text "\n// ---- ${part}\n${text}\n")
  foreach(variable IN ITEMS folded_parts folded_system folded_text)
    set(${variable} "${${variable}}" PARENT_SCOPE)
  endforeach()
endfunction()

# The staged text of `header` in `out`, and the parts folded into it, with those of the
# installed headers it includes, in `out_parts`.
function(zezi_vidad_stage header out out_parts)
  zezi_vidad_read_header(${header} text)
  set(allowed ZEZI_VIDAD_PUBLIC_HEADERS)
  if(header IN_LIST ZEZI_VIDAD_DEVICE_HEADERS)
    set(allowed ZEZI_VIDAD_DEVICE_HEADERS)
  endif()
  zezi_vidad_quoted_includes("${text}" includes)
  # Parts that the installed headers included here bring are there already.
  set(installed_parts)
  set(own_parts)
  foreach(included IN LISTS includes)
    if(included IN_LIST ZEZI_VIDAD_PUBLIC_HEADERS)
      if(NOT included IN_LIST ${allowed})
        message(FATAL_ERROR "installed header ${header} includes ${included}, which is not in "
                            "${allowed}")
      endif()
      list(APPEND installed_parts ${ZEZI_VIDAD_PARTS_OF_${included}})
    else()
      list(APPEND own_parts ${included})
    endif()
  endforeach()
  set(allowed ${own_parts} ${installed_parts})
  set(folded_parts ${installed_parts})
  set(folded_system)
  set(folded_text "")
  foreach(part IN LISTS own_parts)
    zezi_vidad_fold(${part})
  endforeach()

  # The source's own text keeps its comment and its includes of installed headers; the parts
  # take the place of its first include of one, and their includes go after `#pragma once`.
  string(REGEX REPLACE "#include \"api/([^\"]+)\"" "#include <zezi_vidad/\\1>" text "${text}")
  string(REGEX REPLACE "#include \"[^\"]+\"\n" "ZEZI_VIDAD_PARTS\n" text "${text}")
  string(REGEX REPLACE "(ZEZI_VIDAD_PARTS\n)+" "ZEZI_VIDAD_PARTS\n" text "${text}")
  string(REPLACE "ZEZI_VIDAD_PARTS\n" "${folded_text}" text "${text}")
  if(folded_system)
    # The standard library's first, then the others (OpenSSL's).
    list(REMOVE_DUPLICATES folded_system)
    list(SORT folded_system)
    set(others ${folded_system})
    list(FILTER folded_system EXCLUDE REGEX "/")
    list(FILTER others INCLUDE REGEX "/")
    list(JOIN folded_system "\n" system)
    list(JOIN others "\n" others)
    string(REPLACE "#pragma once\n" "#pragma once\n\n${system}\n\n${others}\n" text "${text}")
  endif()
  string(REGEX REPLACE "\n\n\n+" "\n\n" text "${text}")
  string(REGEX REPLACE "\n+$" "\n" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
  set(${out_parts} ${folded_parts} PARENT_SCOPE)
endfunction()

set(ZEZI_VIDAD_STAGED_HEADERS)
# In the order of the lists, so that a header's includes are staged before it.
foreach(header IN ITEMS api/version.h api/device.h api/device.hpp api/zezi_vidad.h
                        api/zezi_vidad.hpp)
  zezi_vidad_stage(${header} text ZEZI_VIDAD_PARTS_OF_${header})
  set(roots ${ZEZI_VIDAD_STAGED_INCLUDE_DIR})
  if(header IN_LIST ZEZI_VIDAD_DEVICE_HEADERS)
    list(APPEND roots ${ZEZI_VIDAD_STAGED_DEVICE_INCLUDE_DIR})
  endif()
  string(REGEX REPLACE "^api/" "" staged ${header})
  foreach(root IN LISTS roots)
    # Written only when the text changes, so an unchanged header rebuilds nothing.
    file(CONFIGURE OUTPUT ${root}/zezi_vidad/${staged} CONTENT "${text}" @ONLY)
    list(APPEND ZEZI_VIDAD_STAGED_HEADERS ${root}/zezi_vidad/${staged})
  endforeach()
endforeach()
list(LENGTH ZEZI_VIDAD_PUBLIC_HEADERS count)
list(LENGTH ZEZI_VIDAD_STAGED_HEADERS staged_count)
list(LENGTH ZEZI_VIDAD_DEVICE_HEADERS device_count)
math(EXPR expected "${count} + ${device_count}")
if(NOT staged_count EQUAL expected)
  message(FATAL_ERROR "staged ${staged_count} headers, not the ${expected} listed")
endif()

# A header staged by an earlier configure and no longer listed would still be found by the
# programs here that stand for a consumer.
file(GLOB_RECURSE stale ${ZEZI_VIDAD_STAGED_INCLUDE_DIR}/*)
list(REMOVE_ITEM stale ${ZEZI_VIDAD_STAGED_HEADERS})
if(stale)
  file(REMOVE ${stale})
endif()

# The full library sees every public header; the device library its own alone, in the build
# (for the programs here that link it) as installed.
target_include_directories(zezi_vidad PUBLIC
  $<BUILD_INTERFACE:${ZEZI_VIDAD_STAGED_INCLUDE_DIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(zezi_vidad_device PUBLIC
  $<BUILD_INTERFACE:${ZEZI_VIDAD_STAGED_DEVICE_INCLUDE_DIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/${ZEZI_VIDAD_DEVICE_INCLUDE_FOLDER}>)

# What cmake/PublicHeaders.cmake folds into an installed header: the parts, internal headers
# that hold public declarations alone. Kept apart so that tests/tools/public_header_parts_test.cmake
# can run the check on planted texts (cmake -P).

# The functions a part declares without a body and without ZEZI_VIDAD_EXPORT, one a list
# item, in `out`: a consumer would find them in the installed header and fail to link
# against the shared library, which hides them. A class's private part is not looked at
# (nothing outside the class calls it); neither are variables, defaulted or deleted members,
# nor functions defined in the header. It reads the text as the project writes it: a
# private part runs to the class's `};` at the start of a line.
function(zezi_vidad_unexported_declarations text out)
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" text "\n${text}")
  string(REGEX REPLACE "//[^\n]*" "" text "${text}")
  string(REGEX REPLACE "\n#[^\n]*" "\n" text "${text}")
  string(REGEX REPLACE "private:[^\n]*(\n([^}\n][^\n]*)?)*\n};" "};" text "${text}")
  # Bodies and brace initialisers become @, innermost first, until none is left; a class's or
  # a namespace's braces stay.
  set(previous "")
  while(NOT previous STREQUAL text)
    set(previous "${text}")
    string(REGEX REPLACE "{[^{};@]*}" "@" text "${text}")
    string(REGEX REPLACE "\\)([ \n]*[a-z]+)*[ \n]*{[^{}]*}" ")@" text "${text}")
  endwhile()
  string(REGEX MATCHALL "[^;{}@]*\\)[ \n]*([a-z]+[ \n]*)*;" statements "${text}")
  set(faults)
  foreach(statement IN LISTS statements)
    string(STRIP "${statement}" statement)
    string(REGEX REPLACE "[ \n]+" " " statement "${statement}")
    # Empty: the list's own separators, since each statement ended in a semicolon.
    if(statement STREQUAL "" OR statement MATCHES "^[^(]*=" OR statement MATCHES "^static_assert"
       OR statement MATCHES "ZEZI_VIDAD_EXPORT")
      continue()
    endif()
    list(APPEND faults "${statement}")
  endforeach()
  set(${out} "${faults}" PARENT_SCOPE)
endfunction()

# The check of an installed header's parts (cmake/PublicHeaderParts.cmake) on planted texts:
# each function declared without a body and without ZEZI_VIDAD_EXPORT is found, and nothing
# else a public header holds is taken for one.
#
# usage: cmake -DSOURCE_DIR=<source> -P tests/tools/public_header_parts_test.cmake
include(${SOURCE_DIR}/cmake/PublicHeaderParts.cmake)

# Each case: the text, then the faults expected (their names), or "none".
set(cases
  "ZEZI_VIDAD_EXPORT bool open(const Bytes& key)\\\;|none"
  "[[nodiscard]] bool verify(std::string_view input,\n    std::string* errorOut)\\\;|verify"
  "class A {\n public:\n  static std::unique_ptr<A> create(const Bytes& key)\\\;\n}\\\;|create"
  "class A {\n public:\n  ZEZI_VIDAD_EXPORT ~A()\\\;\n  void step() const noexcept\\\;\n}\\\;|step"
  "class A {\n private:\n  explicit A(std::unique_ptr<const Key> key)\\\;\n  Digest d_{}\\\;\n}\\\;|none"
  "class A {\n private:\n  int x_\\\;\n}\\\;\nbool after(int x)\\\;|after"
  "inline Bytes bytes(std::string_view t) { return {t.begin(), t.end()}\\\; }|none"
  "const T* at(std::size_t i) const {\n  if (i > 0) {\n    return v.at(i)\\\;\n  }\n  return f(i)\\\;\n}|none"
  "bool any() const {\n  return std::any_of(b, e, [](int o) { return o != 0\\\; })\\\;\n}|none"
  "inline constexpr std::size_t kMax = std::numeric_limits<int>::max()\\\;|none"
  "A(const A&) = delete\\\;\nbool operator==(const A& other) const = default\\\;|none"
  "// bool commented(int x)\\\;\n/* bool blocked(int y)\\\; */\nstatic_assert(sizeof(int) == 4)\\\;|none"
  "#define ZEZI_VIDAD_EXPORT __attribute__((visibility(\"default\")))\nvoid hidden()\\\;|hidden"
)

set(failures 0)
foreach(case IN LISTS cases)
  string(REPLACE "\\;" ";" case "${case}")
  string(REGEX REPLACE "\\|[^|]*$" "" text "${case}")
  string(REGEX REPLACE "^.*\\|" "" expected "${case}")
  zezi_vidad_unexported_declarations("${text}" faults)
  set(names)
  foreach(fault IN LISTS faults)
    string(REGEX REPLACE "^.*[ *&:]([A-Za-z_~]+)\\(.*$" "\\1" name "${fault}")
    list(APPEND names ${name})
  endforeach()
  if(NOT names)
    set(names none)
  endif()
  if(NOT names STREQUAL expected)
    message("FAIL: expected ${expected}, found ${names} in:\n${text}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()

list(LENGTH cases total)
math(EXPR passed "${total} - ${failures}")
message("${passed} passed, ${failures} failed")
if(failures GREATER 0)
  message(FATAL_ERROR "the check of public header parts is wrong")
endif()

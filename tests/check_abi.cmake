# Checks the dynamic symbols and NEEDED entries of the shipped library.
include(${CMAKE_CURRENT_LIST_DIR}/exports.cmake)

file(READ ${EXPECTED} text)
names_in("${text}" "^ +(axdr_[a-z0-9_]+) *$" expected)
# No allowance for a sanitized build: the filters export no type information.
expect_exports(${LIB} ${NM} OFF "${expected}" ${EXPECTED})

execute_process(COMMAND ${READELF} -d ${LIB} OUTPUT_VARIABLE dyn RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${LIB}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[([^]]+)\\]" needed_lines "${dyn}")
set(needed)
foreach(line IN LISTS needed_lines)
  string(REGEX REPLACE ".*\\[([^]]+)\\].*" "\\1" lib "${line}")
  list(APPEND needed ${lib})
endforeach()
# UBSan's function check makes a sanitized build refer to the C++ runtime's
# type information; the shipped builds must not.
foreach(lib IN LISTS needed)
  if(SANITIZED AND lib MATCHES "^(libstdc\\+\\+\\.so\\.6|libgcc_s\\.so\\.1)$")
    continue()
  endif()
  if(NOT lib MATCHES "^(libc\\.so\\.[0-9]+|libaxdr\\.so\\.[0-9]+|libstrmap\\.so\\.[0-9]+|libnetutil\\.so\\.[0-9]+)$")
    message(FATAL_ERROR "unexpected NEEDED entry ${lib} (all: ${needed})")
  endif()
endforeach()
string(REPLACE "." "\\." soname_re "${SONAME}")
if(NOT dyn MATCHES "\\(SONAME\\)[^\n]*\\[${soname_re}\\]")
  message(FATAL_ERROR "SONAME is not ${SONAME}")
endif()
message(STATUS "needed: ${needed}")

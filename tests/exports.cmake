# Helpers of the export checks (include()d by -P scripts).

# The first group of regex in each line of text that matches it, sorted.
# A semicolon reads as a space (CMake would split a line at it).
function(names_in text regex out)
  string(REPLACE ";" " " text "${text}")
  string(REGEX MATCHALL "[^\n]+" lines "${text}")
  set(names)
  foreach(line IN LISTS lines)
    if(line MATCHES "${regex}")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# Fails unless lib's defined dynamic symbols with code or data (the version
# node left out) are exactly the names in expected. A sanitized build may
# also export UBSan's type information, which its function check needs.
function(expect_exports lib nm sanitized expected from)
  execute_process(COMMAND ${nm} -D --defined-only ${lib} OUTPUT_VARIABLE syms RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${lib}")
  endif()
  names_in("${syms}" "^[0-9a-fA-F]* *[TDBRVW] ([A-Za-z_][A-Za-z0-9_]*)" exported)
  if(sanitized)
    list(FILTER exported EXCLUDE REGEX "^_ZT[IS]")
  endif()
  list(SORT expected)
  if(NOT exported STREQUAL expected)
    message(FATAL_ERROR "exports of ${lib} differ from ${from}\n  got:      ${exported}\n  expected: ${expected}")
  endif()
  list(LENGTH exported n)
  message(STATUS "${n} exports, as in ${from}")
endfunction()

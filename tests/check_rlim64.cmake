# quillet.h must stop a build whose rlim_t is not 64 bits, and only that
# build. Run where leaving out _FILE_OFFSET_BITS makes rlim_t 32 bits;
# elsewhere there is nothing to refuse and the check reports itself skipped.
# Inputs: CC, CXX, INCLUDES (a ;-list), WORK (a scratch directory).
set(incs)
foreach(dir IN LISTS INCLUDES)
  list(APPEND incs -I${dir})
endforeach()
file(MAKE_DIRECTORY ${WORK})

function(try_compile_src compiler ext std src defs out_rc out_log)
  file(WRITE ${WORK}/probe_${std}.${ext} "${src}")
  execute_process(
    COMMAND ${compiler} -std=${std} -fsyntax-only ${defs} ${incs} ${WORK}/probe_${std}.${ext}
    RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
  set(${out_rc} ${rc} PARENT_SCOPE)
  set(${out_log} "${log}" PARENT_SCOPE)
endfunction()

try_compile_src(${CC} c c99
  "#include <sys/resource.h>\ntypedef char narrow[sizeof(rlim_t) == 4 ? 1 : -1];\n"
  -U_FILE_OFFSET_BITS rc log)
if(NOT rc EQUAL 0)
  message("SKIPPED: rlim_t is not 32 bits without _FILE_OFFSET_BITS here")
  return()
endif()

set(user "#include <quillet/quillet.h>\nint probe(void);\nint probe(void) { return 0; }\n")
foreach(lang IN ITEMS "c;c99;${CC}" "c;c11;${CC}" "cpp;c++20;${CXX}")
  list(GET lang 0 ext)
  list(GET lang 1 std)
  list(GET lang 2 compiler)
  try_compile_src(${compiler} ${ext} ${std} "${user}" -D_FILE_OFFSET_BITS=64 rc log)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${std}: quillet.h refused a 64-bit rlim_t:\n${log}")
  endif()
  try_compile_src(${compiler} ${ext} ${std} "${user}" -U_FILE_OFFSET_BITS rc log)
  if(rc EQUAL 0)
    message(FATAL_ERROR "${std}: quillet.h accepted a 32-bit rlim_t")
  endif()
  if(NOT log MATCHES "64-bit rlim_t|quillet_needs_64bit_rlim_t")
    message(FATAL_ERROR "${std}: refused for another reason:\n${log}")
  endif()
  message(STATUS "${std}: 32-bit rlim_t refused")
endforeach()

# quillet_generate(TARGET FILE.x [FILE.x ...] [PREFIX p])
#
# Runs quilletc on each FILE.x at build time, adds the generated NAME.c to
# TARGET and the directory of NAME.h to its include path, and links the
# runtime the generated filters call.
#
# quilletc is, in order: the program named by QUILLETC_EXECUTABLE (a host
# copy, say, for a cross build); the quilletc target of this build, run
# through CMAKE_CROSSCOMPILING_EMULATOR when cross compiling; or the
# installed quillet::quilletc.
function(quillet_generate target)
  cmake_parse_arguments(PARSE_ARGV 1 QG "" "PREFIX" "")
  if(NOT QG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "quillet_generate(${target}): no .x file given")
  endif()
  set(prefix axdr_)
  if(DEFINED QG_PREFIX)
    set(prefix ${QG_PREFIX})
  endif()
  if(QUILLETC_EXECUTABLE)
    set(tool ${QUILLETC_EXECUTABLE})
  elseif(TARGET quilletc)
    set(tool quilletc)
  elseif(TARGET quillet::quilletc)
    set(tool quillet::quilletc)
  else()
    message(FATAL_ERROR "quillet_generate: no quilletc (set QUILLETC_EXECUTABLE or find_package(quilletc))")
  endif()
  set(outdir ${CMAKE_CURRENT_BINARY_DIR}/${target}_xdr)
  file(MAKE_DIRECTORY ${outdir})
  foreach(x IN LISTS QG_UNPARSED_ARGUMENTS)
    get_filename_component(abs ${x} ABSOLUTE)
    get_filename_component(name ${x} NAME_WE)
    add_custom_command(
      OUTPUT ${outdir}/${name}.h ${outdir}/${name}.c
      COMMAND ${tool} -o ${outdir} -p ${prefix} ${abs}
      DEPENDS ${abs} ${tool}
      COMMENT "quilletc ${x}"
      VERBATIM)
    target_sources(${target} PRIVATE ${outdir}/${name}.c ${outdir}/${name}.h)
  endforeach()
  target_include_directories(${target} PUBLIC ${outdir})
  if(TARGET axdr::axdr)
    target_link_libraries(${target} PUBLIC axdr::axdr)
  endif()
endfunction()

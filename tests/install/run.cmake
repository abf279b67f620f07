# Installs the build tree into WORK/prefix, checks its files, then builds
# and runs a small consumer against it twice: with find_package and with
# pkg-config.
# Inputs: BUILD_DIR CONSUMER_DIR WORK LIBDIR VERSION C_COMPILER GENERATOR
#         MAKE_PROGRAM PKG_CONFIG FLAGS (extra compile and link flags)
#         LIBS (extra flags at the end of the link)
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# Each library as lib<name>.so -> lib<name>.so.0 -> lib<name>.so.VERSION.
foreach(lib quillet axdr strmap netutil)
  set(so ${prefix}/${LIBDIR}/lib${lib}.so)
  if(NOT IS_SYMLINK ${so} OR NOT IS_SYMLINK ${so}.0 OR NOT EXISTS ${so}.${VERSION})
    message(FATAL_ERROR "lib${lib}: the library or its SONAME links are missing")
  endif()
  file(READ_SYMLINK ${so} link)
  file(READ_SYMLINK ${so}.0 soname_link)
  if(NOT link STREQUAL "lib${lib}.so.0" OR NOT soname_link STREQUAL "lib${lib}.so.${VERSION}")
    message(FATAL_ERROR "lib${lib}: links ${link} and ${soname_link}")
  endif()
  foreach(f ${LIBDIR}/pkgconfig/${lib}.pc ${LIBDIR}/cmake/${lib}/${lib}Config.cmake)
    if(NOT EXISTS ${prefix}/${f})
      message(FATAL_ERROR "${f} is not installed")
    endif()
  endforeach()
endforeach()
foreach(h quillet/quillet.h quillet/axdr.h axdr_runtime.h strmap.h netutil.h)
  if(NOT EXISTS ${prefix}/include/${h})
    message(FATAL_ERROR "header ${h} is not installed")
  endif()
endforeach()

# The installed tool finds its libraries by itself.
run("installed tool" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${prefix}/bin/quillet --version)
if(NOT out STREQUAL "quillet ${VERSION}\n")
  message(FATAL_ERROR "installed tool says: ${out}")
endif()

# find_package
run("configure the consumer" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK}/with-cmake
  -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM} -DCMAKE_C_COMPILER=${C_COMPILER}
  -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_C_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}"
  "-DCMAKE_C_STANDARD_LIBRARIES=${LIBS}")
run("build the consumer" ${CMAKE_COMMAND} --build ${WORK}/with-cmake)
run("run the consumer (find_package)" ${WORK}/with-cmake/consumer)
message(STATUS "find_package: ${out}")

# pkg-config, with a plain compiler command
run("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
  ${PKG_CONFIG} --cflags --libs quillet)
separate_arguments(pc_flags UNIX_COMMAND "${out}")
separate_arguments(extra UNIX_COMMAND "${FLAGS}")
separate_arguments(libs UNIX_COMMAND "${LIBS}")
run("compile the consumer (pkg-config)" ${C_COMPILER} -std=c99 -Wall -Werror ${extra}
  ${CONSUMER_DIR}/consumer.c ${pc_flags} ${libs} -o ${WORK}/with-pkg-config)
run("run the consumer (pkg-config)" ${CMAKE_COMMAND} -E env
  LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${WORK}/with-pkg-config)
message(STATUS "pkg-config: ${out}")
file(REMOVE_RECURSE ${WORK})

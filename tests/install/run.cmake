# Installs the build tree into WORK/prefix, checks its files, then builds
# and runs a small consumer against it twice: with find_package and with
# pkg-config. With CPACK set, the tree is instead the Debian packages of the
# build unpacked into a scratch root, each package checked on its own first.
# Inputs: BUILD_DIR CONSUMER_DIR WORK LIBDIR VERSION C_COMPILER GENERATOR
#         MAKE_PROGRAM PKG_CONFIG FLAGS (extra compile and link flags)
#         LIBS (extra flags at the end of the link) [CPACK DPKG_DEB]
#         [GENERATED_DIR: a consumer whose build runs quilletc]
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
if(NOT CPACK)
  set(prefix ${WORK}/prefix)
  run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
else()
  run("cpack" ${CPACK} -G DEB -B ${WORK}/debs --config ${BUILD_DIR}/CPackConfig.cmake)
  # check_package(NAME DEPENDS-REGEX HOLDS <regexes...> LACKS <regexes...>):
  # its Depends field and its file listing; then unpacks it.
  function(check_package name depends)
    cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "HOLDS;LACKS")
    file(GLOB deb ${WORK}/debs/${name}_${VERSION}_*.deb)
    if(NOT deb)
      message(FATAL_ERROR "no package ${name}")
    endif()
    run("dpkg-deb -f ${name}" ${DPKG_DEB} -f ${deb} Depends)
    if(NOT out MATCHES "${depends}")
      message(FATAL_ERROR "${name} depends on '${out}', not on ${depends}")
    endif()
    run("dpkg-deb -c ${name}" ${DPKG_DEB} -c ${deb})
    foreach(pattern IN LISTS arg_HOLDS)
      if(NOT out MATCHES "${pattern}")
        message(FATAL_ERROR "${name} lacks ${pattern}:\n${out}")
      endif()
    endforeach()
    foreach(pattern IN LISTS arg_LACKS)
      if(out MATCHES "${pattern}")
        message(FATAL_ERROR "${name} holds ${pattern}:\n${out}")
      endif()
    endforeach()
    run("dpkg-deb -x ${name}" ${DPKG_DEB} -x ${deb} ${WORK}/root)
  endfunction()

  set(l "usr/${LIBDIR}")
  set(dev_holds "")
  if(GENERATED_DIR)
    set(dev_holds "usr/bin/quilletc\n" "cmake/quillet/QuilletGenerate.cmake")
  endif()
  # No C++ runtime for the libraries.
  check_package(libquillet0 "^libc6[^,]*$"
    HOLDS "${l}/libquillet.so.0 -> libquillet.so.${VERSION}\n" "${l}/libaxdr.so.0 -> "
          "${l}/libstrmap.so.0 -> " "${l}/libnetutil.so.0 -> " "${l}/libnetutil.so.${VERSION}\n"
    LACKS "include/" "bin/" "\\.so -> ")
  check_package(libquillet-dev "libquillet0 \\(= ${VERSION}\\)"
    HOLDS "include/quillet/quillet.h" "include/quillet/axdr.h" "include/axdr_runtime.h"
          "include/strmap.h" "include/netutil.h" "pkgconfig/quillet.pc" "pkgconfig/strmap.pc"
          "cmake/quillet/quilletConfig.cmake" "cmake/axdr/axdrTargets.cmake"
          "${l}/libquillet.so -> libquillet.so.0\n" ${dev_holds}
    LACKS "\\.so\\.0 -> " "\\.so\\.${VERSION}" "bin/quillet\n")
  check_package(quillet-tools "libquillet0 \\(= ${VERSION}\\)"
    HOLDS "usr/bin/quillet\n" "usr/share/man/man1/quillet.1"
    LACKS "${l}/" "include/")
  set(prefix ${WORK}/root/usr)
endif()

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

# quillet_generate from the installed package, in the consumer's build.
if(GENERATED_DIR)
  run("configure the generating consumer" ${CMAKE_COMMAND} -S ${GENERATED_DIR} -B ${WORK}/generated
    -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM} -DCMAKE_C_COMPILER=${C_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_C_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}"
    "-DCMAKE_C_STANDARD_LIBRARIES=${LIBS}")
  run("build the generating consumer" ${CMAKE_COMMAND} --build ${WORK}/generated)
  run("run the generating consumer" ${WORK}/generated/generated)
  message(STATUS "quillet_generate: ${out}")
endif()
file(REMOVE_RECURSE ${WORK})

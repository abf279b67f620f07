# Installs the build tree into WORK/prefix, checks its files, then builds
# and runs a small consumer against it twice: with find_package and with
# pkg-config. With CPACK set, the tree is instead the Debian packages of the
# build unpacked into a scratch root, each package checked on its own first.
# Inputs: BUILD_DIR CONSUMER_DIR WORK LIBDIR VERSION C_COMPILER GENERATOR
#         MAKE_PROGRAM PKG_CONFIG FLAGS (extra compile and link flags)
#         LIBS (extra flags at the end of the link) READELF
#         SONAME_<lib> for quillet axdr strmap netutil [CPACK DPKG_DEB LINTIAN]
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
  # check_package(NAME DEPENDS-REGEX HOLDS <regexes...> LACKS <regexes...>
  #               CONTROL <files...>): its Depends field, its control files
  # and its file listing; then unpacks it.
  function(check_package name depends)
    cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "HOLDS;LACKS;CONTROL")
    file(GLOB deb ${WORK}/debs/${name}_${VERSION}_*.deb)
    if(NOT deb)
      message(FATAL_ERROR "no package ${name}")
    endif()
    run("dpkg-deb -f ${name}" ${DPKG_DEB} -f ${deb} Depends)
    string(STRIP "${out}" out)
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
    # Control files: those it must have, and no maintainer scripts.
    run("dpkg-deb -I ${name}" ${DPKG_DEB} -I ${deb})
    foreach(f IN LISTS arg_CONTROL)
      if(NOT out MATCHES "lines +(\\* +)?${f} ")
        message(FATAL_ERROR "${name} has no control file ${f}:\n${out}")
      endif()
    endforeach()
    if(out MATCHES "lines +(\\* +)?(pre|post)(inst|rm) ")
      message(FATAL_ERROR "${name} has maintainer scripts:\n${out}")
    endif()
    run("dpkg-deb -x ${name}" ${DPKG_DEB} -x ${deb} ${WORK}/root)
  endfunction()

  set(l "usr/${LIBDIR}")
  set(v "(= ${VERSION})")
  # A package per library, named after its SONAME, with its copyright,
  # changelog, shlibs and ldconfig trigger; no C++ runtime.
  foreach(lib quillet axdr strmap netutil)
    string(REGEX REPLACE ".*\\.so\\." "" sov "${SONAME_${lib}}")
    set(pkg_${lib} lib${lib}${sov})
  endforeach()
  set(doc "usr/share/doc/")
  foreach(lib quillet axdr strmap netutil)
    set(p ${pkg_${lib}})
    set(deps "^libc6[^,]*$")
    if(lib STREQUAL "quillet")
      set(deps "^${pkg_axdr} ${v}, ${pkg_strmap} ${v}, ${pkg_netutil} ${v}, libc6[^,]*$")
      string(REPLACE "(" "\\(" deps "${deps}")
      string(REPLACE ")" "\\)" deps "${deps}")
    endif()
    check_package(${p} "${deps}"
      HOLDS "${l}/${SONAME_${lib}} -> lib${lib}.so.${VERSION}\n" "${doc}${p}/copyright\n"
            "${doc}${p}/changelog.gz\n"
      LACKS "include/" "bin/" "\\.so -> "
      CONTROL shlibs triggers)
  endforeach()
  string(REPLACE "(" "\\(" rv "${v}")
  string(REPLACE ")" "\\)" rv "${rv}")
  set(all_libs "${pkg_quillet} ${rv}, ${pkg_axdr} ${rv}, ${pkg_strmap} ${rv}, ${pkg_netutil} ${rv}")
  # quilletc in the development package: a C++ program, with its own needs.
  set(dev_deps "^${all_libs}$")
  set(dev_holds "")
  if(GENERATED_DIR)
    set(dev_deps "^${all_libs}, ")
    set(dev_holds "usr/bin/quilletc\n" "cmake/quillet/QuilletGenerate.cmake\n"
      "usr/share/man/man1/quilletc.1.gz\n")
  endif()
  check_package(libquillet-dev "${dev_deps}"
    HOLDS "include/quillet/quillet.h" "include/quillet/axdr.h" "include/axdr_runtime.h"
          "include/strmap.h" "include/netutil.h" "pkgconfig/quillet.pc" "pkgconfig/strmap.pc"
          "cmake/quillet/quilletConfig.cmake" "cmake/axdr/axdrTargets.cmake"
          "${l}/libquillet.so -> ${SONAME_quillet}\n" "${doc}libquillet-dev/copyright\n" ${dev_holds}
    LACKS "\\.so\\.[0-9]+ -> " "\\.so\\.${VERSION}" "bin/quillet\n")
  check_package(quillet-tools "^${all_libs}, "
    HOLDS "usr/bin/quillet\n" "usr/share/man/man1/quillet.1.gz\n"
          "${doc}quillet-tools/cli.md\n" "${doc}quillet-tools/copyright\n"
    LACKS "${l}/" "include/")

  # What a distribution asks of packages: no lintian error. Warnings are
  # shown; docs/install.md explains the ones left.
  if(NOT LINTIAN)
    message(FATAL_ERROR "lintian not found (scripts/deps.sh installs it)")
  endif()
  file(GLOB debs ${WORK}/debs/*.deb)
  execute_process(COMMAND ${LINTIAN} --fail-on error ${debs}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  message(STATUS "lintian:\n${out}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "lintian reports errors (${rc}):\n${out}\n${err}")
  endif()
  set(prefix ${WORK}/root/usr)
endif()

# Each library as lib<name>.so -> SONAME -> lib<name>.so.VERSION.
foreach(lib quillet axdr strmap netutil)
  set(so ${prefix}/${LIBDIR}/lib${lib}.so)
  set(soname ${prefix}/${LIBDIR}/${SONAME_${lib}})
  if(NOT IS_SYMLINK ${so} OR NOT IS_SYMLINK ${soname} OR NOT EXISTS ${so}.${VERSION})
    message(FATAL_ERROR "lib${lib}: the library or its SONAME links are missing")
  endif()
  file(READ_SYMLINK ${so} link)
  file(READ_SYMLINK ${soname} soname_link)
  if(NOT link STREQUAL "${SONAME_${lib}}" OR NOT soname_link STREQUAL "lib${lib}.so.${VERSION}")
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

# The consumer links with --as-needed (Debian's default) so that it lists only
# the libraries it calls; the others are libquillet's to find. It runs with
# no LD_LIBRARY_PATH: find_package gives it a RUNPATH to the tree, and the
# pkg-config build passes one, as docs/install.md says.
set(as_needed "-Wl,--as-needed")
function(run_consumer how exe)
  run("readelf ${how}" ${READELF} -d ${exe})
  if(out MATCHES "libnetutil|libstrmap")
    message(FATAL_ERROR "the consumer (${how}) lists libnetutil or libstrmap itself:\n${out}")
  endif()
  run("run the consumer (${how})" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${exe})
  message(STATUS "${how}: ${out}")
endfunction()

# find_package
run("configure the consumer" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK}/with-cmake
  -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM} -DCMAKE_C_COMPILER=${C_COMPILER}
  -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_C_FLAGS=${FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS} ${as_needed}" "-DCMAKE_C_STANDARD_LIBRARIES=${LIBS}")
run("build the consumer" ${CMAKE_COMMAND} --build ${WORK}/with-cmake)
run_consumer(find_package ${WORK}/with-cmake/consumer)

# pkg-config, with a plain compiler command
set(pc_env ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig ${PKG_CONFIG})
run("pkg-config" ${pc_env} --cflags --libs quillet)
separate_arguments(pc_flags UNIX_COMMAND "${out}")
run("pkg-config libdir" ${pc_env} --variable=libdir quillet)
string(STRIP "${out}" pc_libdir)
separate_arguments(extra UNIX_COMMAND "${FLAGS}")
separate_arguments(libs UNIX_COMMAND "${LIBS}")
run("compile the consumer (pkg-config)" ${C_COMPILER} -std=c99 -Wall -Werror ${extra}
  ${as_needed} ${CONSUMER_DIR}/consumer.c ${pc_flags} -Wl,-rpath,${pc_libdir} ${libs}
  -o ${WORK}/with-pkg-config)
run_consumer(pkg-config ${WORK}/with-pkg-config)

# quillet_generate from the installed package, in the consumer's build.
if(GENERATED_DIR)
  run("configure the generating consumer" ${CMAKE_COMMAND} -S ${GENERATED_DIR} -B ${WORK}/generated
    -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM} -DCMAKE_C_COMPILER=${C_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_C_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}"
    "-DCMAKE_C_STANDARD_LIBRARIES=${LIBS}")
  run("build the generating consumer" ${CMAKE_COMMAND} --build ${WORK}/generated)
  run("run the generating consumer" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
    ${WORK}/generated/generated)
  message(STATUS "quillet_generate: ${out}")
endif()
file(REMOVE_RECURSE ${WORK})

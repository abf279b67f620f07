# Installs the four libraries with their headers, a pkg-config file and a
# CMake package each (axdr, strmap, netutil, quillet), and the tool with its
# manual page; and packs them as Debian packages, one per install component:
#   libquillet, libaxdr, libstrmap, libnetutil
#            each library with its SONAME link, in a package named after
#            its SONAME (libquillet1, libaxdr0, ...)
#   dev      headers, .pc files, CMake package files, the lib*.so links,
#            bin/quilletc
#   tools    bin/quillet, quillet(1) and the tool's guide
include(CMakePackageConfigHelpers)

set(QUILLET_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake)

# Callers of the filters need a 64-bit rlim_t, on the 32-bit target too.
target_compile_definitions(quillet INTERFACE _FILE_OFFSET_BITS=64)
# The contract headers travel with the runtime, the lowest of the packages.
set_target_properties(quillet_contract PROPERTIES EXPORT_NAME contract)

install(FILES
    ${PROJECT_SOURCE_DIR}/include/quillet/axdr.h
    ${PROJECT_SOURCE_DIR}/include/quillet/quillet.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillet COMPONENT dev)
install(FILES
    ${PROJECT_SOURCE_DIR}/platform/axdr/include/axdr_runtime.h
    ${PROJECT_SOURCE_DIR}/platform/axdr/include/axdr_types.h
    ${PROJECT_SOURCE_DIR}/platform/strmap/include/strmap.h
    ${PROJECT_SOURCE_DIR}/platform/netutil/include/netutil.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# The .pc files find the tree from their own place, so an installed tree
# can be moved (cmake --install --prefix, DESTDIR).
file(RELATIVE_PATH pc_rel_prefix
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" pc_rel_prefix "${pc_rel_prefix}")

# quillet_package(NAME <name> TARGETS <targets...> DESCRIPTION <text>
#                 [REQUIRES <packages...>] [CFLAGS <flags>] [INCLUDES <cmake files...>])
# INCLUDES are installed beside the package's config, which includes them.
function(quillet_package)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;DESCRIPTION;CFLAGS" "TARGETS;REQUIRES;INCLUDES")
  set(name ${arg_NAME})
  install(TARGETS ${arg_TARGETS} EXPORT ${name}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib${name} NAMELINK_COMPONENT dev)
  install(EXPORT ${name}Targets NAMESPACE ${name}::
    DESTINATION ${QUILLET_CMAKEDIR}/${name} COMPONENT dev)

  set(pkg_name ${name})
  set(pkg_deps "${arg_REQUIRES}")
  set(pkg_includes "")
  foreach(f IN LISTS arg_INCLUDES)
    get_filename_component(base ${f} NAME)
    list(APPEND pkg_includes ${base})
    install(FILES ${f} DESTINATION ${QUILLET_CMAKEDIR}/${name} COMPONENT dev)
  endforeach()
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/PackageConfig.cmake.in
    ${PROJECT_BINARY_DIR}/pkg/${name}Config.cmake
    INSTALL_DESTINATION ${QUILLET_CMAKEDIR}/${name})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/pkg/${name}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/pkg/${name}Config.cmake
    ${PROJECT_BINARY_DIR}/pkg/${name}ConfigVersion.cmake
    DESTINATION ${QUILLET_CMAKEDIR}/${name} COMPONENT dev)

  set(pc_name ${name})
  set(pc_description "${arg_DESCRIPTION}")
  set(pc_requires_line "")
  if(arg_REQUIRES)
    list(JOIN arg_REQUIRES " " pc_requires)
    set(pc_requires_line "Requires: ${pc_requires}\n")
  endif()
  set(pc_cflags "")
  if(arg_CFLAGS)
    set(pc_cflags " ${arg_CFLAGS}")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/pkgconfig.pc.in
    ${PROJECT_BINARY_DIR}/pkg/${name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkg/${name}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endfunction()

quillet_package(NAME axdr TARGETS axdr quillet_contract
  DESCRIPTION "Async XDR runtime: streams, resumable primitives, printer")
quillet_package(NAME strmap TARGETS strmap
  DESCRIPTION "String-keyed hash containers")
quillet_package(NAME netutil TARGETS netutil
  DESCRIPTION "IP, CIDR and MAC address types")
# The code generator goes with the headers its output needs, as
# quillet::quilletc with quillet_generate() beside it.
set(quillet_includes "")
if(TARGET quilletc)
  install(TARGETS quilletc EXPORT quilletTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT dev)
  set(quillet_includes ${PROJECT_SOURCE_DIR}/cmake/QuilletGenerate.cmake)
endif()
quillet_package(NAME quillet TARGETS quillet
  DESCRIPTION "${PROJECT_DESCRIPTION}"
  REQUIRES axdr strmap netutil
  CFLAGS "-D_FILE_OFFSET_BITS=64"
  INCLUDES ${quillet_includes})

# Compressed copies for the packages (gzip -9n: no name or time stamp, so a
# rebuild gives the same bytes).
find_program(GZIP gzip REQUIRED)
function(quillet_gzip src dst)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${src})
  execute_process(COMMAND ${GZIP} -9nc ${src} OUTPUT_FILE ${dst} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${src} failed")
  endif()
endfunction()
quillet_gzip(${PROJECT_SOURCE_DIR}/docs/quillet.1 ${PROJECT_BINARY_DIR}/pkg/quillet.1.gz)
quillet_gzip(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${PROJECT_BINARY_DIR}/pkg/changelog.gz)
if(TARGET quilletc)
  quillet_gzip(${PROJECT_SOURCE_DIR}/docs/quilletc.1 ${PROJECT_BINARY_DIR}/pkg/quilletc.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/pkg/quilletc.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT dev)
endif()

install(TARGETS quillet_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${PROJECT_BINARY_DIR}/pkg/quillet.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT tools)

# One Debian package per component. A library's package is named after its
# SONAME, so a new SOVERSION gives a new package that installs beside the
# old one, and programs built against the old one keep running.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "quillet developers <quillet@example.org>")
set(CPACK_DEBIAN_PACKAGE_SOURCE quillet)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# A shlibs file for each library package (the others have no library).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENTS_ALL)

# Every package carries the project's copyright and changelog.
function(quillet_deb component package section)
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  set(CPACK_COMPONENTS_ALL ${CPACK_COMPONENTS_ALL} ${component} PARENT_SCOPE)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${PROJECT_BINARY_DIR}/pkg/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endfunction()

# ldconfig runs from dpkg's trigger. CPack writes postinst and postrm scripts
# that call it unless the package names scripts of its own; naming ones that
# do not exist leaves both out.
file(WRITE ${PROJECT_BINARY_DIR}/pkg/triggers "activate-noawait ldconfig\n")
set(no_scripts ${PROJECT_BINARY_DIR}/pkg/no-scripts)
set(lib_packages)
set(lib_summary_quillet "the ten filters")
set(lib_summary_axdr "the async XDR runtime")
set(lib_summary_strmap "string-keyed hash containers")
set(lib_summary_netutil "IP, CIDR and MAC address types")
foreach(lib quillet axdr strmap netutil)
  get_target_property(sov ${lib} SOVERSION)
  set(pkg lib${lib}${sov})
  set(QUILLET_DEB_lib${lib} ${pkg})
  list(APPEND lib_packages "${pkg} (= ${PROJECT_VERSION})")
  quillet_deb(lib${lib} ${pkg} libs)
  string(TOUPPER lib${lib} c)
  set(CPACK_COMPONENT_${c}_DESCRIPTION "Resumable XDR filters: lib${lib}, ${lib_summary_${lib}}")
  set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/pkg/triggers ${no_scripts}/postinst ${no_scripts}/postrm)
endforeach()
# The filters go with exactly this build of the libraries they call beyond
# the contract; the libraries' own needs (libc) come from dpkg-shlibdeps,
# which the packages of one build cannot ask about each other.
list(JOIN lib_packages ", " all_libs)
set(CPACK_DEBIAN_LIBQUILLET_PACKAGE_DEPENDS
  "${QUILLET_DEB_libaxdr} (= ${PROJECT_VERSION}), ${QUILLET_DEB_libstrmap} (= ${PROJECT_VERSION}), ${QUILLET_DEB_libnetutil} (= ${PROJECT_VERSION})")

quillet_deb(dev libquillet-dev libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "Resumable XDR filters: headers, CMake files, quilletc")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${all_libs}")

quillet_deb(tools quillet-tools utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Resumable XDR filters: the quillet command")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${all_libs}")
# The man page's SEE ALSO points here.
install(FILES ${PROJECT_SOURCE_DIR}/docs/cli.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillet-tools COMPONENT tools)

set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src
  ${PROJECT_BINARY_DIR}/platform/axdr ${PROJECT_BINARY_DIR}/platform/strmap
  ${PROJECT_BINARY_DIR}/platform/netutil)

# Packages install under /usr with the libraries in the multiarch directory,
# which GNUInstallDirs gives only for that prefix: cpack refuses a build
# configured for another.
configure_file(${PROJECT_SOURCE_DIR}/packaging/CPackChecks.cmake.in
  ${PROJECT_BINARY_DIR}/pkg/CPackChecks.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/pkg/CPackChecks.cmake)
include(CPack)

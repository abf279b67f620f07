# Installs the four libraries with their headers, a pkg-config file and a
# CMake package each (axdr, strmap, netutil, quillet), and the tool with its
# manual page; and packs them as three Debian packages, one per component:
#   runtime  the shared libraries and their SONAME links
#   dev      headers, .pc files, CMake package files, the lib*.so links,
#            bin/quilletc
#   tools    bin/quillet and quillet(1)
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
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
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

install(TARGETS quillet_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/docs/quillet.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT tools)

# cpack -G DEB: libquillet0, libquillet-dev and quillet-tools.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "quillet developers <quillet@example.org>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libquillet0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Resumable XDR filters: libquillet and its runtime, containers and address types")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libquillet-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Resumable XDR filters: headers, pkg-config and CMake files, the quilletc generator")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quillet-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Resumable XDR filters: the quillet command")
# Headers and tools go with exactly this build of the libraries; the
# libraries' own needs (libc) come from dpkg-shlibdeps, which the packages
# of one build cannot ask about each other.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libquillet0 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libquillet0 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src
  ${PROJECT_BINARY_DIR}/platform/axdr ${PROJECT_BINARY_DIR}/platform/strmap
  ${PROJECT_BINARY_DIR}/platform/netutil)
include(CPack)

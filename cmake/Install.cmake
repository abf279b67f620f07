# Installs the four libraries with their headers, a pkg-config file and a
# CMake package each (axdr, strmap, netutil, quillet), and the tool.
include(CMakePackageConfigHelpers)

set(QUILLET_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake)

# Callers of the filters need a 64-bit rlim_t, on the 32-bit target too.
target_compile_definitions(quillet INTERFACE _FILE_OFFSET_BITS=64)
# The contract headers travel with the runtime, the lowest of the packages.
set_target_properties(quillet_contract PROPERTIES EXPORT_NAME contract)

install(FILES
    ${PROJECT_SOURCE_DIR}/include/quillet/axdr.h
    ${PROJECT_SOURCE_DIR}/include/quillet/quillet.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillet)
install(FILES
    ${PROJECT_SOURCE_DIR}/platform/axdr/include/axdr_runtime.h
    ${PROJECT_SOURCE_DIR}/platform/strmap/include/strmap.h
    ${PROJECT_SOURCE_DIR}/platform/netutil/include/netutil.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The .pc files find the tree from their own place, so an installed tree
# can be moved (cmake --install --prefix, DESTDIR).
file(RELATIVE_PATH pc_rel_prefix
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" pc_rel_prefix "${pc_rel_prefix}")

# quillet_package(NAME <name> TARGETS <targets...> DESCRIPTION <text>
#                 [REQUIRES <packages...>] [CFLAGS <flags>])
function(quillet_package)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;DESCRIPTION;CFLAGS" "TARGETS;REQUIRES")
  set(name ${arg_NAME})
  install(TARGETS ${arg_TARGETS} EXPORT ${name}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(EXPORT ${name}Targets NAMESPACE ${name}::
    DESTINATION ${QUILLET_CMAKEDIR}/${name})

  set(pkg_name ${name})
  set(pkg_deps "${arg_REQUIRES}")
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/PackageConfig.cmake.in
    ${PROJECT_BINARY_DIR}/pkg/${name}Config.cmake
    INSTALL_DESTINATION ${QUILLET_CMAKEDIR}/${name})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/pkg/${name}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/pkg/${name}Config.cmake
    ${PROJECT_BINARY_DIR}/pkg/${name}ConfigVersion.cmake
    DESTINATION ${QUILLET_CMAKEDIR}/${name})

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
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

quillet_package(NAME axdr TARGETS axdr quillet_contract
  DESCRIPTION "Async XDR runtime: streams, resumable primitives, printer")
quillet_package(NAME strmap TARGETS strmap
  DESCRIPTION "String-keyed hash containers")
quillet_package(NAME netutil TARGETS netutil
  DESCRIPTION "IP, CIDR and MAC address types")
quillet_package(NAME quillet TARGETS quillet
  DESCRIPTION "${PROJECT_DESCRIPTION}"
  REQUIRES axdr strmap netutil
  CFLAGS "-D_FILE_OFFSET_BITS=64")

install(TARGETS quillet_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

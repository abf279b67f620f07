# The warnings we build with everywhere; they are errors in the dev and CI
# builds (QUILLET_WERROR, set by their presets), not in a user's or a
# packager's build, where a newer compiler's new warning must not stop it.
add_library(quillet_warnings INTERFACE)
target_compile_options(quillet_warnings INTERFACE
  -Wall -Wextra -Wpedantic $<$<BOOL:${QUILLET_WERROR}>:-Werror>
  -Wshadow -Wformat=2 -Wundef -Wcast-qual -Wimplicit-fallthrough
  $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor>
  $<$<COMPILE_LANGUAGE:C>:-Wstrict-prototypes -Wmissing-prototypes>)

# Libraries that ship: no exceptions, no RTTI, no C++ runtime at run time.
function(quillet_plain_library target)
  # A library's calls to its own functions go direct, not through the PLT;
  # what it imports from other libraries stays interposable.
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
    -fno-semantic-interposition)
  # Installed anywhere, a library finds its siblings beside itself: with
  # --as-needed a program lists only the libraries it calls, and its own
  # RUNPATH does not apply to theirs.
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C INSTALL_RPATH "$ORIGIN")
  target_link_options(${target} PRIVATE -Wl,--as-needed -Wl,-z,relro,-z,now
    -Wl,-Bsymbolic-functions)
  if(NOT QUILLET_SANITIZE)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
  target_link_libraries(${target} PRIVATE quillet_warnings)
endfunction()

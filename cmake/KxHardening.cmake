# The hardening Debian builds its packages with, for every binary of this tree, so that the
# package is cut from the build the tests ran on:
# - PIE (position-independent executables, so address randomisation covers the program);
# - -fstack-protector-strong;
# - -D_FORTIFY_SOURCE=2: checked string and memory functions; needs optimisation, so not in a
#   Debug build, and not in a sanitizer build (its own interceptors of those functions);
# - full RELRO: -z relro with -z now (the relocations are read-only before main).
# KX_HARDENING=OFF builds without them, to compare.
option(KX_HARDENING "Build with the distribution's hardening flags" ON)

if(KX_HARDENING)
  include(CheckPIESupported)
  check_pie_supported(OUTPUT_VARIABLE kx_pie_output LANGUAGES C CXX)
  if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
    message(FATAL_ERROR "PIE is not supported by the linker: ${kx_pie_output}")
  endif()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)

  add_compile_options(-fstack-protector-strong)
  # Flags given at configure time (dpkg-buildflags' CPPFLAGS in CXXFLAGS, a sanitizer) win.
  string(FIND "${CMAKE_CXX_FLAGS} ${CMAKE_C_FLAGS}" "-fsanitize" kx_sanitizer)
  string(FIND "${CMAKE_CXX_FLAGS} ${CMAKE_C_FLAGS}" "_FORTIFY_SOURCE" kx_fortify_given)
  if(kx_sanitizer EQUAL -1 AND kx_fortify_given EQUAL -1)
    # -U first: a compiler that defines it already (another level) would warn of a redefinition.
    add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  endif()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()

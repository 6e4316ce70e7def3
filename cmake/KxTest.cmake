# kx_add_test(NAME <name> LABEL <subsystem> SOURCES <files...> [LIBS <targets...>]
#             [TIMEOUT <seconds>] [ENV <VAR=value...>])
# kx_add_test(NAME <name> LABEL <subsystem> COMMAND <command...>
#             [TIMEOUT <seconds>] [ENV <VAR=value...>])
#
# The one way a test joins the suite: it builds a GoogleTest executable in build/bin
# and registers it with CTest under its subsystem's label, so `ctest -L shboot`
# runs one subsystem. A test that is a script instead names its COMMAND (generator
# expressions allowed) and builds nothing. Every test runs on Qt's offscreen platform.
set(KX_TEST_LABELS comm main payload shboot digidec terminal sim package cli drivers)

function(kx_add_test)
  cmake_parse_arguments(T "" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS;ENV;COMMAND" ${ARGN})
  if(NOT T_LABEL IN_LIST KX_TEST_LABELS)
    message(FATAL_ERROR "kx_add_test(${T_NAME}): label '${T_LABEL}' is not one of ${KX_TEST_LABELS}")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(T_COMMAND)
    add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  else()
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE kx_testsupport ${T_LIBS})
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  endif()
  set_tests_properties(${T_NAME} PROPERTIES
    LABELS ${T_LABEL}
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${T_ENV}")
endfunction()

# kx_add_fuzz_test(NAME <name> LABEL <subsystem> TARGET <fuzz source> SOURCES <code under test...>
#                  [SEEDS <dir>] [DICT <file>] [SECONDS <n>])
#
# A parser of bytes from outside, fuzzed: the target is built apart from the rest,
# with clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, from its
# own source and the plain sources it tests (Qt Core is the only library linked), and
# a test of the subsystem's label runs it for a few seconds. Any crash, out-of-bounds
# access, undefined behaviour, hang or broken rule of the target fails the test.
find_program(KX_CLANGXX NAMES clang++ clang++-14)

function(kx_add_fuzz_test)
  cmake_parse_arguments(F "" "NAME;LABEL;TARGET;SEEDS;DICT;SECONDS" "SOURCES" ${ARGN})
  if(NOT F_SECONDS)
    set(F_SECONDS 4)
  endif()
  set(dir ${CMAKE_BINARY_DIR}/fuzz/${F_NAME})
  set(exe ${dir}/${F_NAME})
  if(KX_CLANGXX)
    set(qt_includes $<TARGET_PROPERTY:Qt6::Core,INTERFACE_INCLUDE_DIRECTORIES>)
    add_custom_command(OUTPUT ${exe}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}/corpus
      COMMAND ${KX_CLANGXX} -std=c++20 -g -O1 -fPIC -Wall -Wextra
              -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
              -I${CMAKE_SOURCE_DIR} "$<$<BOOL:${qt_includes}>:-I$<JOIN:${qt_includes},;-I>>"
              ${F_TARGET} ${F_SOURCES} $<TARGET_FILE:Qt6::Core> -o ${exe}
      DEPENDS ${F_TARGET} ${F_SOURCES}
      COMMENT "Building the fuzz target ${F_NAME} with clang (libFuzzer, ASan, UBSan)"
      COMMAND_EXPAND_LISTS
      VERBATIM)
    add_custom_target(${F_NAME}_target ALL DEPENDS ${exe})
  endif()
  kx_add_test(NAME ${F_NAME} LABEL ${F_LABEL} SOURCES ${CMAKE_SOURCE_DIR}/tests/support/FuzzRun.cpp TIMEOUT 90)
  target_compile_definitions(${F_NAME} PRIVATE
    KX_FUZZ_TARGET="${exe}" KX_FUZZ_DIR="${dir}" KX_FUZZ_SECONDS=${F_SECONDS}
    KX_FUZZ_SEEDS="${F_SEEDS}" KX_FUZZ_DICT="${F_DICT}")
  if(TARGET ${F_NAME}_target)
    add_dependencies(${F_NAME} ${F_NAME}_target)
  endif()
endfunction()

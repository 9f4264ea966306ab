# One line per test module: veltrane_add_test(<name> SOURCES ... LIBS ... [LABELS ...]).
# Discovery runs before the tests, not at build time, so programs that need a
# display or a sound server can be built on a machine without either.
find_package(GTest REQUIRED)
include(GoogleTest)

function(veltrane_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  set(props "")
  if(ARG_LABELS)
    set(props PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30 ${props})
endfunction()

# The one way a test is registered:
#   veltrane_add_test(<name> SOURCES <files> LIBS <targets> [GUI] [LABELS <labels>])
#     a GoogleTest program; GUI gives it the shared wxWidgets test main and the label gui.
#   veltrane_add_test(<name> COMMAND <command> [LABELS ...] [TIMEOUT <s>] [SKIP_RETURN_CODE <n>])
#     a test that runs a command, such as a script that drives the real executable.
# Discovery runs before the tests, not at build time, so programs that need a display or a
# sound server can be built on a machine without either.
find_package(GTest REQUIRED)
include(GoogleTest)

function(veltrane_add_test name)
  cmake_parse_arguments(ARG "GUI" "TIMEOUT;SKIP_RETURN_CODE" "SOURCES;LIBS;LABELS;COMMAND" ${ARGN})
  set(labels ${ARG_LABELS})
  if(ARG_GUI)
    list(APPEND labels gui)
  endif()

  if(ARG_COMMAND)
    add_test(NAME ${name} COMMAND ${ARG_COMMAND})
    if(labels)
      set_tests_properties(${name} PROPERTIES LABELS "${labels}")
    endif()
    if(ARG_TIMEOUT)
      set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    endif()
    if(ARG_SKIP_RETURN_CODE)
      set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE ${ARG_SKIP_RETURN_CODE})
    endif()
    return()
  endif()

  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock)
  if(ARG_GUI)
    target_link_libraries(${name} PRIVATE gui_test_main)
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  set(props "")
  if(labels)
    set(props PROPERTIES LABELS "${labels}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30 ${props})
endfunction()

# Helpers shared by the project's CMake files.

# The static portability layer and the database library are linked whole
# into every program and test binary and exported through the dynamic symbol
# table, so that the shared libraries loaded by the program find them at run
# time.
function(korvanel_link_program target)
  target_link_libraries(${target} PRIVATE
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,ledgeform>"
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,kitbag>")
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
endfunction()

# korvanel_test(NAME sources... [LIBS libs...])
# A GoogleTest binary beside the code it tests, run through CTest.
function(korvanel_test name)
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE test_support ${T_LIBS} GTest::gmock GTest::gtest_main)
  korvanel_link_program(${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endfunction()

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

# Installed programs and shared libraries find our libraries in the
# installation root's local/lib directory first, then in its lib directory.
# The run paths are relative to the file's own place, so that an installation
# still works after it is moved; programs in the build tree keep the build
# tree's paths.
function(korvanel_install_program target)
  set_target_properties(${target} PROPERTIES
    INSTALL_RPATH "$ORIGIN/../local/lib;$ORIGIN/../lib")
  install(TARGETS ${target} RUNTIME DESTINATION bin)
endfunction()

function(korvanel_install_library target)
  set_target_properties(${target} PROPERTIES
    INSTALL_RPATH "$ORIGIN/../local/lib;$ORIGIN")
  install(TARGETS ${target} LIBRARY DESTINATION lib)
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

# korvanel_stand_in(NAME)
# A stand-in for one of the maker's libraries under platform/libNAME: the
# shared library libNAME.so.3 of every .cc there (tests aside) exporting
# NAME.h alone, installed beside ours, with its tests.
function(korvanel_stand_in name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER sources EXCLUDE REGEX "_test\\.cc$")
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  add_library(${name} SHARED ${sources})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:include>)
  set_target_properties(${name} PROPERTIES
    SOVERSION 3
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${name} PRIVATE m)
  target_link_options(${name} PRIVATE
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/lib/utility/basalt/exports.map)
  korvanel_install_library(${name})
  install(FILES ${name}.h DESTINATION include)
  foreach(test_source ${tests})
    get_filename_component(test_name ${test_source} NAME_WE)
    korvanel_test(${name}_${test_name} ${test_source} LIBS ${name} basalt)
  endforeach()
endfunction()

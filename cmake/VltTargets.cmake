# Helpers shared by every component's CMakeLists.

# Compiler warnings for the project's own targets (never for dependencies).
function(vlt_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
  if(VLT_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# vlt_add_component(<name> SOURCES ... [PUBLIC_DEPS ...] [PRIVATE_DEPS ...])
# A component is a shared library with hidden symbols, its public headers in
# include/, an ALIAS vlt::<name>, and an export header <name>/export.hpp
# defining <NAME>_API (what the library exports) and <NAME>_VISIBLE.
#
# <NAME>_VISIBLE is for types defined wholly in headers (templates, message
# identifiers) that must be one type in every shared library, for example to
# be caught by type: default visibility, neither exported nor imported.
function(vlt_add_component name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  add_library(vlt::${name} ALIAS ${name})
  string(TOUPPER ${name} upper)
  set(visible_macro
    "#ifndef ${upper}_VISIBLE\n"
    "#  if defined(__GNUC__)\n"
    "#    define ${upper}_VISIBLE __attribute__((visibility(\"default\")))\n"
    "#  else\n"
    "#    define ${upper}_VISIBLE\n"
    "#  endif\n"
    "#endif")
  string(CONCAT visible_macro ${visible_macro})
  include(GenerateExportHeader)
  generate_export_header(${name}
    BASE_NAME ${upper}
    EXPORT_MACRO_NAME ${upper}_API
    EXPORT_FILE_NAME ${PROJECT_BINARY_DIR}/generated/${name}/export.hpp
    CUSTOM_CONTENT_FROM_VARIABLE visible_macro)
  # Hosts of an installed tree see only its include/ (see cmake/VltInstall.cmake).
  target_include_directories(${name}
    PUBLIC
      $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
      $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  # The public headers are C++17: a host gets the standard with the target.
  target_compile_features(${name} PUBLIC cxx_std_17)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  vlt_set_warnings(${name})
  # Libraries go to lib/ itself, never to a multiarch folder below it: the
  # library's install path is the folder above the one holding it.
  install(TARGETS ${name} EXPORT vlt_datasource_targets
    LIBRARY DESTINATION lib
    INCLUDES DESTINATION include)
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/ DESTINATION include)
  install(FILES ${PROJECT_BINARY_DIR}/generated/${name}/export.hpp DESTINATION include/${name})
endfunction()

# Seconds a test may run before CTest stops it (sanitizer builds are slower).
set(VLT_TEST_TIMEOUT 180 CACHE STRING "Timeout of each test, in seconds")

# vlt_add_component_tests(<component> <target> SOURCES ...)
# One GoogleTest executable per component. Every test gets the component's
# label; tests whose full name contains "PostgreSQL" need the test server and
# also get the label "postgresql".
function(vlt_add_component_tests component target)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE vlt::test_support ${ARG_DEPS}
    GTest::gtest GTest::gmock GTest::gtest_main)
  vlt_set_warnings(${target})
  # Test code gains nothing from the optimiser, which doubles its compile
  # time; the libraries under test keep the build type's flags (-O1 in the
  # sanitizer builds, where it halves the suite's run).
  target_compile_options(${target} PRIVATE -O0)
  # Every test gets a timeout, so that a hung test (a child process waiting on
  # a pipe, a lock never released) fails instead of stopping the run.
  gtest_discover_tests(${target}
    TEST_FILTER "-*PostgreSQL*"
    PROPERTIES LABELS "${component}" TIMEOUT ${VLT_TEST_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
  gtest_discover_tests(${target}
    TEST_FILTER "*PostgreSQL*"
    TEST_LIST ${target}_POSTGRESQL_TESTS
    PROPERTIES TIMEOUT ${VLT_TEST_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
  # gtest_discover_tests flattens a list-valued property, so the two labels of
  # the server tests are set by a script that CTest reads after the discovered
  # tests.
  set(labels_script "${CMAKE_CURRENT_BINARY_DIR}/${target}_postgresql_labels.cmake")
  file(WRITE "${labels_script}"
    "foreach(test IN LISTS ${target}_POSTGRESQL_TESTS)\n"
    "  set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${component};postgresql\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_script}")
endfunction()

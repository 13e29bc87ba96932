# mirvo_add_gtest(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# One GoogleTest program, registered with CTest as one test per case.
find_package(GTest REQUIRED)
include(GoogleTest)

function(mirvo_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  # A case that skips itself shows as skipped, with its reason in the log.
  set(props TIMEOUT 300 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

include(GoogleTest)

# tavrimondo_add_test(name TIMEOUT seconds [WINE_TIMEOUT seconds] SOURCES... [LIBS ...])
# Native test binaries register each test case with CTest; under Wine one process per binary
# keeps the run short (starting Wine costs far more than a test).
# Every test has a time-out, so that a hang fails that one test instead of holding the whole run:
# TIMEOUT for each test case of a native build, WINE_TIMEOUT (default 300) for the whole binary
# under Wine.
function(tavrimondo_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT;WINE_TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    message(FATAL_ERROR "tavrimondo_add_test(${name}): TIMEOUT is required")
  endif()
  if(NOT T_WINE_TIMEOUT)
    set(T_WINE_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_WINE_TIMEOUT})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()

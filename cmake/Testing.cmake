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

# Firebird 4.0 as a second real server. A test binary chooses its server from the environment
# (tests/connections/local/fb_test_env.h); here its cases are registered a second time, prefixed
# "fb4:" and labelled firebird4, with TAVRIMONDO_FB_VERSION=4, which points them, and
# scripts/firebird.sh when a test stops or starts the server, at the 4.0 server on port 3051
# (scripts/firebird.sh start 4). Cases added to such a binary later run on both servers without
# further ado. FILTER (a gtest filter) keeps to the cases that differ between the versions where
# running a whole binary twice would cost too much.
#   tavrimondo_firebird4_tests(target TIMEOUT seconds [FILTER expr] [LOCK name])
function(tavrimondo_firebird4_tests target)
  cmake_parse_arguments(T "" "TIMEOUT;FILTER" "" ${ARGN})
  set(filter)
  if(T_FILTER)
    set(filter TEST_FILTER ${T_FILTER})
  endif()
  # One lock for the 4.0 server, as for the 3.0 one: the password tests change its SYSDBA
  # password and the no-loss tests kill it.
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 30 TEST_PREFIX "fb4:" ${filter}
    PROPERTIES ENVIRONMENT TAVRIMONDO_FB_VERSION=4 RESOURCE_LOCK tavrimondo_firebird4 TIMEOUT ${T_TIMEOUT}
               LABELS firebird4)
endfunction()

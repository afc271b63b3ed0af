include(GoogleTest)

# tavrimondo_add_test(name SOURCES... [LIBS ...])
# Native test binaries register each test case with CTest; under Wine one process per binary
# keeps the run short (starting Wine costs far more than a test).
function(tavrimondo_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30)
  endif()
endfunction()

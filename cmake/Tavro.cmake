# Helpers that declare libraries and their tests the same way everywhere.
find_package(GTest REQUIRED)
include(GoogleTest)

# tavro_test(NAME SOURCES src... [LIBS lib...] [LOCK resource] [TIMEOUT s])
# Builds one GoogleTest program and registers each of its cases with CTest.
# Every case runs in its own process with a fresh platform state directory
# (see testing/TestMain.cpp).
function(tavro_test name)
  cmake_parse_arguments(T "" "LOCK;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} tavro_test_main GTest::gtest GTest::gmock)
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LOCK)
    list(APPEND props RESOURCE_LOCK ${T_LOCK})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${props})
endfunction()

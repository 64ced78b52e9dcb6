# Helpers that declare libraries, programs, tests and fuzz targets the same
# way everywhere. Every target of the project's own code goes through one of
# them, so it gets the project's warnings (errors with WERROR=ON).
find_package(GTest REQUIRED)
include(GoogleTest)

# The warnings every target of the project's own code is built with.
add_library(tavro_warnings INTERFACE)
target_compile_options(tavro_warnings INTERFACE
  -Wall -Wextra -Wshadow -Wconversion
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Woverloaded-virtual -Wold-style-cast>
  # clang's -Wconversion also warns on every change of signedness; gcc's does not.
  $<$<CXX_COMPILER_ID:Clang>:-Wno-sign-conversion>)
if(WERROR)
  target_compile_options(tavro_warnings INTERFACE -Werror)
endif()

# tavro_library(NAME STATIC|SHARED|INTERFACE [SOURCES src...]
#               [PUBLIC lib...] [PRIVATE lib...])
# A library of the project, also known as tavro::NAME. Sources may be added
# later with target_sources.
function(tavro_library name kind)
  cmake_parse_arguments(L "" "" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  add_library(${name} ${kind} ${L_SOURCES})
  add_library(tavro::${name} ALIAS ${name})
  if(kind STREQUAL "INTERFACE")
    target_link_libraries(${name} INTERFACE ${L_PUBLIC})
    return()
  endif()
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_PUBLIC} PRIVATE ${L_PRIVATE} tavro_warnings)
endfunction()

# tavro_executable(NAME SOURCES src... [LIBS lib...])
# A program of the project (a deliverable or a helper program of the tests).
function(tavro_executable name)
  cmake_parse_arguments(E "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${E_SOURCES})
  target_link_libraries(${name} PRIVATE ${E_LIBS} tavro_warnings)
endfunction()

# tavro_test_program(NAME SOURCES src... [LIBS lib...])
# A helper program that only tests run (a peer, a child, a small service);
# its sources live under testing/. Nothing is built when BUILD_TESTING is off.
function(tavro_test_program name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  tavro_executable(${name} SOURCES ${P_SOURCES} LIBS ${P_LIBS})
endfunction()

# Test code is built for speed of building: no optimisation, and the
# GoogleTest and GoogleMock headers compiled once, in the precompiled header
# of tavro_gtest_pch, which every test program reuses. The library code under
# test keeps its optimisation; the sanitizer flags apply to both.
if(BUILD_TESTING)
  set(TAVRO_TEST_CODE_OPTIONS -O0)
  file(WRITE ${PROJECT_BINARY_DIR}/tavro_gtest_pch.cpp "int main() { return 0; }\n")
  add_executable(tavro_gtest_pch EXCLUDE_FROM_ALL ${PROJECT_BINARY_DIR}/tavro_gtest_pch.cpp)
  target_link_libraries(tavro_gtest_pch PRIVATE GTest::gtest GTest::gmock tavro_warnings)
  target_compile_options(tavro_gtest_pch PRIVATE ${TAVRO_TEST_CODE_OPTIONS})
  target_precompile_headers(tavro_gtest_pch PRIVATE <gtest/gtest.h> <gmock/gmock.h>)
endif()

# tavro_test(NAME SOURCES src... [LIBS lib...] [DEFINITIONS def...]
#            [DEPENDS target...] [LOCK resource [WITHOUT_LOCK filter]]
#            [TIMEOUT s] [COST s])
# Builds one GoogleTest program and registers each of its cases with CTest.
# Every case runs in its own process with a fresh platform state directory
# (see testing/TestMain.cpp). DEFINITIONS are the program's compile
# definitions (paths of the programs and files it uses); DEPENDS are the
# targets that must be built before it runs. The cases hold the CTest
# resource LOCK while they run, except those that the GoogleTest filter
# WITHOUT_LOCK (Suite.Case:Suite.*) names. COST is about the seconds of the
# program's longest case, so that ctest starts its cases first even before
# it has timed a run. Nothing is built when BUILD_TESTING is off.
function(tavro_test name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(T "" "LOCK;WITHOUT_LOCK;TIMEOUT;COST" "SOURCES;LIBS;DEFINITIONS;DEPENDS"
                        ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # A test that links the library's transport or a library above it runs
  # with the library's seams filled (JexLinkSetUp in its main).
  set(main tavro_test_main)
  foreach(lib IN LISTS T_LIBS)
    if(lib IN_LIST TAVRO_SEAMED_LIBRARIES)
      set(main tavro_jexlink_test_main)
    endif()
  endforeach()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} ${main} GTest::gtest GTest::gmock
                        tavro_warnings)
  target_compile_options(${name} PRIVATE ${TAVRO_TEST_CODE_OPTIONS})
  target_precompile_headers(${name} REUSE_FROM tavro_gtest_pch)
  if(T_DEFINITIONS)
    target_compile_definitions(${name} PRIVATE ${T_DEFINITIONS})
  endif()
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_COST)
    list(APPEND props COST ${T_COST})
  endif()
  if(TSAN)
    # What the Java VM and glibc's resolver do uninstrumented is not this
    # system's race; a report fails the test.
    list(APPEND props ENVIRONMENT
         "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/testing/tsan.supp:halt_on_error=1")
  endif()
  # The tests of the library, for the builds that run only those (the
  # ThreadSanitizer build): the target jexlink_tests builds them all.
  if(CMAKE_CURRENT_SOURCE_DIR MATCHES "^${PROJECT_SOURCE_DIR}/jexlink(/|$)")
    set_property(GLOBAL APPEND PROPERTY TAVRO_JEXLINK_TESTS ${name})
  endif()
  set(filter "")
  if(T_LOCK AND T_WITHOUT_LOCK)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST TEST_FILTER "${T_WITHOUT_LOCK}"
                         PROPERTIES ${props})
    set(filter "-${T_WITHOUT_LOCK}")
  endif()
  if(T_LOCK)
    # The lock's name is also a label, so a run can pick or leave out the
    # tests that hold it (ctest -L / -LE).
    list(APPEND props RESOURCE_LOCK ${T_LOCK} LABELS ${T_LOCK})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST TEST_FILTER "${filter}" PROPERTIES ${props})
endfunction()

# The libraries whose code reaches the library's seams (JexSeams): the
# transport and every library that stands on it. Their tests' main fills the
# seams; a program that links one calls JexLinkSetUp itself.
set(TAVRO_SEAMED_LIBRARIES jextransport jexsession jexmessages jexcli jexmail jexsra jexmodem
    tavro_fakemodemdaemon)

# tavro_fuzz(NAME [LIBS lib...])
# A fuzz target fuzz/NAME.cpp for a decoder of untrusted input. With FUZZ=ON
# (clang) it is a libFuzzer program; otherwise it is linked with a replay
# main and its seed corpus fuzz/corpus/NAME runs as a test, so the sanitizer
# build replays it.
function(tavro_fuzz name)
  cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
  add_executable(${name} ${PROJECT_SOURCE_DIR}/fuzz/${name}.cpp)
  target_link_libraries(${name} PRIVATE ${F_LIBS} tavro_warnings)
  if(FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_compile_definitions(${name} PRIVATE TAVRO_LIBFUZZER=1)
    # The target's own set-up and helpers are not what it fuzzes.
    set(ignore ${PROJECT_SOURCE_DIR}/fuzz/coverage-ignore.txt)
    target_compile_options(${name} PRIVATE -fsanitize-coverage-ignorelist=${ignore})
    set_source_files_properties(${PROJECT_SOURCE_DIR}/fuzz/${name}.cpp TARGET_DIRECTORY ${name}
                                PROPERTIES OBJECT_DEPENDS ${ignore})
    return()
  endif()
  target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz/FuzzReplayMain.cpp)
  if(BUILD_TESTING)
    add_test(NAME ${name}.corpus
             COMMAND ${name} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
    set_tests_properties(${name}.corpus PROPERTIES TIMEOUT 120)
  endif()
endfunction()

# tavro_install(PROGRAMS target... | LIBRARIES target...)
# Lays a deliverable out in an installation tree (cmake --install BUILD
# --prefix HOME): programs in bin/, the shared libraries the Java director
# loads (and the platform layer they and the programs stand on) in
# common/share/, the directory the tree's library path names. Each finds the
# libraries beside it through a run path relative to itself, so nothing
# installed depends on the build tree or LD_LIBRARY_PATH.
function(tavro_install)
  cmake_parse_arguments(I "" "" "PROGRAMS;LIBRARIES" ${ARGN})
  foreach(target IN LISTS I_PROGRAMS)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../common/share")
    install(TARGETS ${target} RUNTIME DESTINATION bin)
  endforeach()
  foreach(target IN LISTS I_LIBRARIES)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
    install(TARGETS ${target} LIBRARY DESTINATION common/share)
  endforeach()
endfunction()

# When cross-compiling there is no GoogleTest built for the target, so build it from the
# sources that Debian's googletest package installs, and let find_package(GTest) answer
# with those targets, so tests/ reads the same on every platform.
set(CONSYNTH_GOOGLETEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources to build when cross-compiling")
if(NOT EXISTS ${CONSYNTH_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${CONSYNTH_GOOGLETEST_SOURCE_DIR}: "
                      "install Debian's googletest package (scripts/install-deps.sh test)")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${CONSYNTH_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# GoogleTest is not ours to keep warning-free.
foreach(target gtest gtest_main gmock gmock_main)
  target_compile_options(${target} PRIVATE -w)
endforeach()

# find_package(GTest) looks in this directory before anywhere else.
file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config.cmake [=[
if(NOT TARGET GTest::GTest)
  add_library(GTest::GTest ALIAS gtest)
  add_library(GTest::Main ALIAS gtest_main)
endif()
set(GTest_FOUND TRUE)
set(GTEST_FOUND TRUE)
]=])
file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config-version.cmake [=[
set(PACKAGE_VERSION 1.12.1)
set(PACKAGE_VERSION_COMPATIBLE TRUE)
]=])

# List each test program's cases when ctest runs, not right after linking: the build then
# never starts the emulator, and only the test run needs what it needs (Wine its server,
# which scripts/test-windows.sh starts beforehand).
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# The Windows build's tests, run under Wine: every unit test of the portable core, the Windows
# layer's own tests against the system's calls, and the agent metering programs under Wine.
set(TARNWICK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources, built here")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${TARNWICK_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_library(tarnwick_test_support STATIC support/TempDir.cpp support/ExecutableBuilder.cpp
  support/LogCapture.cpp)
target_link_libraries(tarnwick_test_support PUBLIC vantor_runtime tarnwick_system_env gtest)
target_include_directories(tarnwick_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})

add_executable(unit_tests
  foundation/DateTimeTest.cpp
  foundation/TimeSpanTest.cpp
  foundation/ExceptionTest.cpp
  foundation/FileGZTest.cpp
  foundation/FileUtilsTest.cpp
  foundation/LockFileTest.cpp
  foundation/SystemInfoTest.cpp
  foundation/WildcardTest.cpp
  concurrency/ThreadInstanceTest.cpp
  ${TARNWICK_LOGGING_TESTS}
  ipc/IPCMessageTest.cpp
  ipc/LogMessengerIPCTest.cpp
  usage/AccountsTest.cpp
  usage/PrimeTimeTest.cpp
  usage/LogFileTest.cpp
  usage/DataStreamsTest.cpp
  usage/ExeFinderTest.cpp
  sources/CounterQueryTest.cpp
  sources/EventDecoderTest.cpp
  sources/KernelTracerTest.cpp
  supervision/ThreadTableTest.cpp
  platform/PerfDataBlockTest.cpp
  platform/win32/WindowsVersionNameTest.cpp
  # The Linux layer's encoder of trace event data is plain code: the decoder's tests use it.
  ${PROJECT_SOURCE_DIR}/src/platform/posix/ProcessEventData.cpp
)
# Each test's registry file is read as the Linux layer reads it (support/SystemEnv.cpp).
target_sources(tarnwick_system_env PRIVATE ${PROJECT_SOURCE_DIR}/src/platform/posix/RegistryFile.cpp)
target_link_libraries(unit_tests PRIVATE tarnwick_test_support gtest_main)
target_compile_definitions(unit_tests PRIVATE TARNWICK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_test(NAME unit_tests COMMAND unit_tests)

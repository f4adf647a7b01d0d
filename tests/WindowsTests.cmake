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
  foundation/FileOpsTest.cpp
  foundation/FileTest.cpp
  concurrency/ThreadInstanceTest.cpp
  concurrency/LockTest.cpp
  ${TARNWICK_LOGGING_TESTS}
  ipc/IPCMessageTest.cpp
  ipc/LogMessengerIPCTest.cpp
  ipc/IPCServerTest.cpp
  ipc/MailSlotTest.cpp
  usage/AccountsTest.cpp
  usage/PrimeTimeTest.cpp
  usage/LogFileTest.cpp
  usage/DataStreamsTest.cpp
  usage/ExeFinderTest.cpp
  usage/PerfMonLogTest.cpp
  sources/ProcPollTest.cpp
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

# A program with a version resource compiled in, for the layer's tests and the agent's.
enable_language(RC)
add_executable(versioned_probe programs/windows/versioned_probe.cpp
  programs/windows/versioned_probe.rc)

add_executable(win32_platform_tests platform/win32/Win32LayerTest.cpp)
target_link_libraries(win32_platform_tests PRIVATE tarnwick_test_support gtest_main)
target_compile_definitions(win32_platform_tests PRIVATE
  VERSIONED_PROBE_PATH="$<TARGET_FILE:versioned_probe>")
add_dependencies(win32_platform_tests versioned_probe)
add_test(NAME win32_platform_tests COMMAND win32_platform_tests)

# The agent itself under Wine, driven from this machine's shell.
add_test(NAME agent_under_wine
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/agent_under_wine.sh ${PROJECT_SOURCE_DIR}
          $<TARGET_FILE:tarnwick> $<TARGET_FILE:vantorctl> $<TARGET_FILE:versioned_probe>)
set_tests_properties(agent_under_wine PROPERTIES RUN_SERIAL TRUE)

# Wine makes its prefix on first use; the tests must not race to make it.
add_test(NAME wine_prefix COMMAND ${TARNWICK_WINE} wineboot --init)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine)
get_property(tarnwick_windows_tests DIRECTORY PROPERTY TESTS)
foreach(test ${tarnwick_windows_tests})
  if(NOT test STREQUAL "wine_prefix")
    set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
endforeach()

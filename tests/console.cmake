# The device console's tests: the real handheld-console.exe, started as a
# process on the test's device and read through its windows.
handheld_test(console_tests console_test.cpp)
target_include_directories(console_tests PRIVATE ${PROJECT_SOURCE_DIR}/tools/console
  ${PROJECT_SOURCE_DIR}/platform/include)
add_dependencies(console_tests handheld-console)

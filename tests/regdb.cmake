# The regulatory data's tests: the database reader on databases made by the
# test, the channel rule, the advice, and the data generated from the
# installed database. Plain computation: no device, no Rendak.dll.
add_executable(regdb_tests regdb_test.cpp regdb_image.cpp)
target_link_libraries(regdb_tests PRIVATE regdb gtest_main)
gtest_discover_tests(regdb_tests
  TEST_PREFIX "regdb_tests."
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 120
  PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120)

# The tools' own checks beside their GoogleTest suites: the schema the CLI's
# tests read, the CLI under real signals and a real terminal, and the docs'
# commands run as written.
target_compile_definitions(cli_tests PRIVATE SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(cli_tests handheld-console)
# The docs show the x86_64 build's paths (build/bin/...): they are run in its suite.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  add_test(NAME docs.commands
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/docs_test.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  set_tests_properties(docs.commands PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300
    RESOURCE_LOCK docs-devices)
endif()
add_test(NAME cli.signals
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/cli_signals_test.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
set_tests_properties(cli.signals PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)

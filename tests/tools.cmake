# The tools' own checks beside their GoogleTest suites: the schema the CLI's
# tests read, the CLI under real signals and a real terminal, and the docs'
# commands run as written.
target_compile_definitions(cli_tests PRIVATE SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(cli_tests handheld-console)
add_test(NAME docs.commands
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/docs_test.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}
    ${CMAKE_SYSTEM_PROCESSOR})
set_tests_properties(docs.commands PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300
  RESOURCE_LOCK docs-devices)
add_test(NAME cli.signals
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/cli_signals_test.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
set_tests_properties(cli.signals PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)
# rendakctl's regulatory advice: the built-in data's origin to compare with,
# and databases made to measure for --regdb.
target_sources(cli_tests PRIVATE regdb_image.cpp)
target_link_libraries(cli_tests PRIVATE regdb)

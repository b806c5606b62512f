# The reliability suite's extra pieces: the concurrency suite once more under
# undefined-behaviour checks, and the static checks of the deliverables.
target_link_libraries(reliability_tests PRIVATE psapi)

# The undefined-behaviour build and the static checks run in the x86_64 suite
# only, to keep the i686 suite's time down: the static checks read the sources,
# the same for both builds, and a second checked tree would cost minutes more.
if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  return()
endif()

# --- Undefined-behaviour build ------------------------------------------------
# A second build of the whole tree would double every build. Only what the
# concurrency suite runs is rebuilt with the checks: the platform, the library,
# GoogleTest and the reliability test program, in a small tree of its own
# (build/ubsan), with this build's toolchain. The test "reliability.ubsan.build"
# brings it up to date and the checked suite runs after it, in this build's Wine
# prefix and on its warm wineserver; the programs it starts (rendakctl) come
# from this build.
set(RELIABILITY_UBSAN_SOURCE ${CMAKE_BINARY_DIR}/ubsan-src)
set(RELIABILITY_UBSAN_BINARY ${CMAKE_BINARY_DIR}/ubsan)
file(WRITE ${RELIABILITY_UBSAN_SOURCE}/CMakeLists.txt.new "
cmake_minimum_required(VERSION 3.25)
project(RendakUbsan LANGUAGES C CXX RC)
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY \${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY \${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY \${CMAKE_BINARY_DIR}/lib)
set(CMAKE_SHARED_LIBRARY_PREFIX \"\")
set(CMAKE_IMPORT_LIBRARY_PREFIX \"lib\")
add_compile_definitions(UNICODE _UNICODE _WIN32_WINNT=0x0601)
add_compile_options(-Wall -Wextra -fsanitize=undefined -fsanitize-undefined-trap-on-error)
add_link_options(-static -static-libgcc -static-libstdc++)
include(${PROJECT_SOURCE_DIR}/cmake/implib.cmake)
add_subdirectory(${PROJECT_SOURCE_DIR}/platform platform)
add_subdirectory(${PROJECT_SOURCE_DIR}/library library)
set(gtest_force_shared_crt ON CACHE BOOL \"\" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL \"\" FORCE)
add_subdirectory(/usr/src/googletest googletest EXCLUDE_FROM_ALL)
add_library(handheld_testing STATIC ${CMAKE_CURRENT_SOURCE_DIR}/testing.cpp)
target_include_directories(handheld_testing PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(handheld_testing PUBLIC gtest_main Rendak kernel32 user32 advapi32 coredll ossvcs)
target_compile_definitions(handheld_testing PUBLIC BUILD_BIN_DIR=\"${CMAKE_BINARY_DIR}/bin\")
add_executable(reliability_tests ${CMAKE_CURRENT_SOURCE_DIR}/reliability_test.cpp)
target_link_libraries(reliability_tests PRIVATE handheld_testing psapi)
")
# Rewritten only when it changes, so the small tree is not reconfigured for nothing.
configure_file(${RELIABILITY_UBSAN_SOURCE}/CMakeLists.txt.new ${RELIABILITY_UBSAN_SOURCE}/CMakeLists.txt
  COPYONLY)
add_test(NAME reliability.ubsan.build
  COMMAND sh -c "${CMAKE_COMMAND} -S ${RELIABILITY_UBSAN_SOURCE} -B ${RELIABILITY_UBSAN_BINARY} \
-DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} \
-DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} >/dev/null && \
${CMAKE_COMMAND} --build ${RELIABILITY_UBSAN_BINARY} -j2 --target reliability_tests")
set_tests_properties(reliability.ubsan.build PROPERTIES
  FIXTURES_SETUP ubsan TIMEOUT 900 RUN_SERIAL TRUE)
add_test(NAME reliability.ubsan.Concurrency
  COMMAND ${PROJECT_SOURCE_DIR}/tools/wine-run --test ${CMAKE_BINARY_DIR}
    ${RELIABILITY_UBSAN_BINARY}/bin/reliability_tests.exe --gtest_filter=Concurrency.*)
set_tests_properties(reliability.ubsan.Concurrency PROPERTIES
  FIXTURES_REQUIRED "ubsan;wine" TIMEOUT 180)

# --- Static checks -------------------------------------------------------------
# cppcheck and clang-tidy (configuration in .clang-tidy) on library/ and panel/.
add_test(NAME static.checks COMMAND ${PROJECT_SOURCE_DIR}/tools/static-checks)
set_tests_properties(static.checks PROPERTIES TIMEOUT 600)

# The tree that the ubsan preset makes (RENDAK_REUSE_BUILD set): the platform,
# the library and the string libraries built with the checks, and beside them
# the reused build's own reliability_tests.exe, which loads them from its
# folder. The test program is the harness, not what is checked: compiling it,
# testing.cpp and GoogleTest again with the checks was a third of this tree's
# build, and every change to the tests' helpers paid it again.
set(reused ${RENDAK_REUSE_BUILD})
if(NOT EXISTS ${reused}/CMakeCache.txt)
  message(FATAL_ERROR "RENDAK_REUSE_BUILD: ${reused} is not a configured build of this tree; "
    "configure it first (cmake --preset default)")
endif()
# The test program loads these libraries: they must be of its architecture.
load_cache(${reused} READ_WITH_PREFIX reused_ CMAKE_TOOLCHAIN_FILE)
if(NOT reused_CMAKE_TOOLCHAIN_FILE STREQUAL CMAKE_TOOLCHAIN_FILE)
  message(FATAL_ERROR "RENDAK_REUSE_BUILD: ${reused} is built with ${reused_CMAKE_TOOLCHAIN_FILE}, "
    "this tree with ${CMAKE_TOOLCHAIN_FILE}")
endif()
# Made there first if it is not yet, so that the order of the two builds does not matter.
add_custom_target(reliability_tests
  COMMAND ${CMAKE_COMMAND} --build ${reused} --target reliability_tests
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${reused}/bin/reliability_tests.exe
    ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/reliability_tests.exe
  COMMENT "reliability_tests.exe from ${reused}, beside the checked libraries")
add_dependencies(reliability_tests coredll ossvcs aygshell Rendak RDIOSTR0409 RDIOSTR0404
  RDIOSTR0410 rdiostr_test_long rdiostr_test_missing)

# The installed package: what the folders install (component SDK: the library
# for the programs that call it; component Handheld: the simulated handheld to
# run them on), the CMake package that finds it, and a ZIP archive of each.
#
#   find_package(Rendak 1.0 REQUIRED)                      Rendak::Rendak
#   find_package(Rendak 1.0 REQUIRED COMPONENTS Handheld)  also Rendak::coredll,
#       Rendak::ossvcs, Rendak::aygshell (handheld.h) and RENDAK_WINE_RUN
#
# Every path in the installed files is relative to the prefix, so an
# installation or an archive can be moved anywhere.
include(CMakePackageConfigHelpers)

set(package_dir lib/cmake/Rendak)
install(EXPORT RendakTargets NAMESPACE Rendak:: DESTINATION ${package_dir} COMPONENT SDK)
install(EXPORT RendakHandheldTargets NAMESPACE Rendak:: DESTINATION ${package_dir}
  COMPONENT Handheld)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/RendakConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/RendakConfig.cmake
  INSTALL_DESTINATION ${package_dir}
  NO_SET_AND_CHECK_MACRO)
# 1.x serves a client that asks for 1.0; the pointer size must match too (an
# i686 client does not find an x86_64 installation).
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/RendakConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/RendakConfig.cmake
  ${CMAKE_BINARY_DIR}/package/RendakConfigVersion.cmake
  DESTINATION ${package_dir} COMPONENT SDK)
install(FILES ${PROJECT_SOURCE_DIR}/docs/sdk.md DESTINATION share/doc/Rendak COMPONENT SDK)

# cpack --config BUILD/CPackConfig.cmake: Rendak-VERSION-windows-ARCH-SDK.zip
# and ...-Handheld.zip.
set(CPACK_GENERATOR ZIP)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL SDK Handheld)
set(CPACK_PACKAGE_NAME Rendak)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME windows-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)

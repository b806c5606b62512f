# Cross-compile for 32-bit Windows (i686) with MinGW-w64: the device's own data
# layout (4-byte pointers and handles, stdcall platform calls), in build-i686/.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Exports and import libraries of our own DLLs (the platform libraries and Rendak).
#
#   handheld_exports(TARGET)   in the folder that makes TARGET, from its .def source
#
# The .def lists the exports with plain names, as on the device. The line after
# a comment that begins "; x86_64 only" is left out of the 32-bit build: it
# names a form that 32-bit Windows has only as a macro (SetWindowLongPtrW), so
# a forwarder to it would point at nothing.
#
# GNU ld's import library of a DLL linked from a .def of plain names holds those
# plain names. On x86_64 that is what callers reference, but on i686 a WINAPI
# call is the symbol _Name@N: against ld's import library a device-only call
# fails to link, and a call that the desktop also has (RegOpenKeyExW) binds
# silently to the desktop DLL that comes later on the link line. So, after each
# link, the import library is made again with dlltool -k from a .def of the
# DLL's exports decorated as the definitions are: every @N is read from the
# symbols that define the function (the DLL's own objects, or for a forwarder,
# the import library of the DLL it forwards to), so it cannot drift from the code.

set(HANDHELD_IMPLIB_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/make-implib.cmake)

function(handheld_exports target)
  get_target_property(sources ${target} SOURCES)
  set(defs ${sources})
  list(FILTER defs INCLUDE REGEX "\\.def$")
  list(LENGTH defs count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "handheld_exports(${target}): it needs exactly one .def source")
  endif()
  cmake_path(ABSOLUTE_PATH defs BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} OUTPUT_VARIABLE def)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    file(READ ${def} text)
    string(REGEX REPLACE "[ \t]*;[ \t]*x86_64 only[^\n]*\n[^\n]*\n" "" text "${text}")
    cmake_path(GET def FILENAME name)
    set(arch_def ${CMAKE_CURRENT_BINARY_DIR}/${name})
    # Rewritten only when it changes, so that configuring again relinks nothing.
    file(WRITE ${arch_def}.new "${text}")
    file(COPY_FILE ${arch_def}.new ${arch_def} ONLY_IF_DIFFERENT)
    file(REMOVE ${arch_def}.new)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
    list(REMOVE_ITEM sources ${defs})
    list(APPEND sources ${arch_def})
    set_property(TARGET ${target} PROPERTY SOURCES ${sources})
    set(def ${arch_def})
  endif()
  # Plain export names on both architectures, as on the device; on i686 the
  # .def's plain names are matched to the decorated definitions without a
  # warning each.
  target_link_options(${target} PRIVATE -Wl,--kill-at)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND}
      -DDLL=$<TARGET_FILE:${target}>
      -DIMPLIB=$<TARGET_LINKER_FILE:${target}>
      -DDEF=${def}
      "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:${target}>,|>"
      -DPROCESSOR=${CMAKE_SYSTEM_PROCESSOR}
      -DCC=${CMAKE_C_COMPILER}
      -DNM=${CMAKE_NM}
      -DOBJDUMP=${CMAKE_OBJDUMP}
      -DDLLTOOL=${CMAKE_DLLTOOL}
      -DLIBDIR=${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}
      -P ${HANDHELD_IMPLIB_SCRIPT}
    VERBATIM)
endfunction()

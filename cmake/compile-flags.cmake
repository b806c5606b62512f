# Writes the compile definitions and include folders that a build gives each of
# some source files, read from its compile_commands.json, for tools that check
# the sources as the build compiles them (tools/static-checks):
#
#   cmake -DDATABASE=BUILD/compile_commands.json -DFILES=/abs/a.cpp;/abs/b.cpp
#         -DOUTPUT=FILE -P compile-flags.cmake
#
# OUTPUT gets, for each of FILES that the build compiles, a line "file PATH"
# and then one flag a line (-D..., -U..., -I...), in the compiler's order; a
# response file (@...rsp, which CMake uses for include folders on Windows
# targets) is read in its place. A file that the build does not compile gets
# no lines.
cmake_minimum_required(VERSION 3.25)

file(READ ${DATABASE} database)
string(JSON count LENGTH "${database}")
set(text "")
if(count GREATER 0)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON file GET "${database}" ${i} file)
    if(NOT file IN_LIST FILES)
      continue()
    endif()
    string(JSON directory GET "${database}" ${i} directory)
    string(JSON command GET "${database}" ${i} command)
    separate_arguments(words UNIX_COMMAND "${command}")
    set(flags "")
    foreach(word IN LISTS words)
      if(word MATCHES "^@(.+)$")
        cmake_path(ABSOLUTE_PATH CMAKE_MATCH_1 BASE_DIRECTORY ${directory} OUTPUT_VARIABLE rsp)
        file(READ ${rsp} inner)
        separate_arguments(inner UNIX_COMMAND "${inner}")
        list(APPEND flags ${inner})
      else()
        list(APPEND flags "${word}")
      endif()
    endforeach()
    string(APPEND text "file ${file}\n")
    foreach(flag IN LISTS flags)
      if(flag MATCHES "^-[DUI].")
        string(APPEND text "${flag}\n")
      endif()
    endforeach()
  endforeach()
endif()
file(WRITE ${OUTPUT} "${text}")

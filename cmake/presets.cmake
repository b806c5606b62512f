# Facts that CMakePresets.json holds, read from it so that they are written once.
#
#   preset_binary_dir(PRESET VAR)   VAR = the build folder of configure preset PRESET

function(preset_binary_dir preset var)
  set(file ${PROJECT_SOURCE_DIR}/CMakePresets.json)
  file(READ ${file} presets)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  string(JSON count LENGTH "${presets}" configurePresets)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON name GET "${presets}" configurePresets ${i} name)
    if(name STREQUAL preset)
      string(JSON dir GET "${presets}" configurePresets ${i} binaryDir)
      string(REPLACE "\${sourceDir}" "${PROJECT_SOURCE_DIR}" dir "${dir}")
      set(${var} ${dir} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "CMakePresets.json has no configure preset '${preset}'")
endfunction()

# The version resource that every binary we build carries.
#
#   handheld_version_info(TARGET DESCRIPTION)   in the folder that makes TARGET
#
# The version is the project's (project(VERSION) in the top CMakeLists.txt), the
# one place it is defined; the file names are the target's own, read when the
# build is generated, so a renamed output (the string libraries) is named right.
# The resource is a second resource script beside any the target has; GNU ld
# merges their resource sections.

set(HANDHELD_VERSION_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

function(handheld_version_info target description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(file_type VFT_APP)
  elseif(type STREQUAL "SHARED_LIBRARY")
    set(file_type VFT_DLL)
  else()
    message(FATAL_ERROR "handheld_version_info(${target}): a ${type} is no binary of its own")
  endif()
  # FILEVERSION takes four numbers; a part the version leaves out is 0.
  set(version_commas "")
  foreach(part MAJOR MINOR PATCH TWEAK)
    set(number ${PROJECT_VERSION_${part}})
    if("${number}" STREQUAL "")
      set(number 0)
    endif()
    list(APPEND version_commas ${number})
  endforeach()
  list(JOIN version_commas "," version_commas)
  set(internal_name "$<TARGET_FILE_BASE_NAME:${target}>")
  set(file_name "$<TARGET_FILE_NAME:${target}>")
  file(READ ${HANDHELD_VERSION_TEMPLATE} template)
  string(CONFIGURE "${template}" content @ONLY)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.version.rc)
  file(GENERATE OUTPUT ${rc} CONTENT "${content}")
  target_sources(${target} PRIVATE ${rc})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${HANDHELD_VERSION_TEMPLATE})
endfunction()

# Runs regdb-generate on DATABASE with where it came from: the package that
# owns the file (after following links such as /etc/alternatives) with its
# version, and the SHA-256 of its content. SOURCE and SUMMARY are rewritten
# only when what is generated changes, so nothing rebuilds for nothing.
if(NOT EXISTS "${DATABASE}")
  message(FATAL_ERROR "The regulatory database ${DATABASE} is missing: install the package "
    "wireless-regdb (tools/setup does).")
endif()
file(SHA256 "${DATABASE}" sha256)

set(path "${DATABASE}")
foreach(hop RANGE 8)
  if(NOT IS_SYMLINK "${path}")
    break()
  endif()
  file(READ_SYMLINK "${path}" target)
  if(NOT IS_ABSOLUTE "${target}")
    get_filename_component(folder "${path}" DIRECTORY)
    set(target "${folder}/${target}")
  endif()
  set(path "${target}")
endforeach()

set(package "")
execute_process(COMMAND dpkg-query -S "${path}"
  OUTPUT_VARIABLE owner RESULT_VARIABLE status ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
if(status EQUAL 0)
  string(REGEX REPLACE "[:,].*" "" name "${owner}")
  execute_process(COMMAND dpkg-query -W "-f=\${Version}" "${name}"
    OUTPUT_VARIABLE version RESULT_VARIABLE status ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(status EQUAL 0)
    set(package "${name} ${version}")
  endif()
endif()

execute_process(COMMAND "${GENERATOR}" "${DATABASE}" "${SOURCE}.new" "${SUMMARY}.new"
  "${package}" "${sha256}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "regdb-generate could not use ${DATABASE} (above); reinstall the package "
    "wireless-regdb (tools/setup) or set REGDB_FILE to a good regulatory.db.")
endif()
foreach(output "${SOURCE}" "${SUMMARY}")
  file(COPY_FILE "${output}.new" "${output}" ONLY_IF_DIFFERENT)
  file(REMOVE "${output}.new")
endforeach()

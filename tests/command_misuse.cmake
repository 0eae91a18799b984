# Runs a program once per row of a table and checks its exit status, standard
# output and standard error. One row per line of CASES:
#   ARGS|STATUS|STDOUT-REGEX|STDERR-REGEX[|STDIN-FILE]
# ARGS are separated by '~'; '#' starts a comment line. In every field
# @WORK@ is a fresh work directory (holding the files SETUP wrote) and
# @VERSION@ the project's version. The program runs with XDG_RUNTIME_DIR in
# the work directory, so that it meets no board running on this machine.
#   cmake -DPROGRAM=<exe> -DCASES=<file> -DWORK=<dir> [-DVERSION=<v>] [-DSETUP=<script>] -P command_misuse.cmake
cmake_policy(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/runtime)
if(SETUP)
  include(${SETUP})
endif()
file(STRINGS ${CASES} rows ENCODING UTF-8)
set(failures 0)
foreach(row IN LISTS rows)
  if(row MATCHES "^#" OR row STREQUAL "")
    continue()
  endif()
  string(REPLACE "@WORK@" "${WORK}" row "${row}")
  string(REPLACE "@VERSION@" "${VERSION}" row "${row}")
  string(REPLACE "\\n" "\n" row "${row}")
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 args)
  list(GET fields 1 want_status)
  list(GET fields 2 want_out)
  list(GET fields 3 want_err)
  list(LENGTH fields n)
  set(input /dev/null)
  if(n GREATER 4)
    list(GET fields 4 input)
  endif()
  string(REPLACE "~" ";" args "${args}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env XDG_RUNTIME_DIR=${WORK}/runtime ${PROGRAM} ${args}
                  INPUT_FILE ${input} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 60)
  if(NOT status STREQUAL want_status OR NOT out MATCHES "${want_out}" OR NOT err MATCHES "${want_err}")
    message(SEND_ERROR "${PROGRAM} ${args}: status ${status} (want ${want_status})\n"
                       "stdout: [${out}] (want ${want_out})\nstderr: [${err}] (want ${want_err})")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()

# The tool's command line, one row per case: the arguments, the exit status,
# what standard output and standard error must match. No case may touch a
# board: none prints "Setup EZ-USB".
file(REMOVE_RECURSE ${RUNTIME_DIR})
file(MAKE_DIRECTORY ${RUNTIME_DIR})
set(usage "^usage: card_tool .OPTION.\n.*Exit status: 0 success, 1 failure.*2 usage error.\n$")
set(cases
  "--help|0|${usage}|^$"
  "-h|0|${usage}|^$"
  "--version|0|^card_tool ${VERSION} \\(nebu board tools\\)\n$|^$"
  "--bogus|2|^$|^card_tool: unknown option '--bogus'\nusage: card_tool"
  "-x|2|^$|^card_tool: unknown option '-x'\nusage:"
  "--help=yes|2|^$|^card_tool: --help takes no value\nusage:"
  "extra|2|^$|^card_tool: unexpected argument 'extra'\nusage:"
  "--version,extra|2|^$|^card_tool: unexpected argument 'extra'\n"
)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 args)
  list(GET fields 1 want_status)
  list(GET fields 2 want_out)
  list(GET fields 3 want_err)
  string(REPLACE "," ";" args "${args}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env XDG_RUNTIME_DIR=${RUNTIME_DIR} ${TOOL} ${args}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 30)
  if(NOT status EQUAL want_status OR NOT out MATCHES "${want_out}" OR NOT err MATCHES "${want_err}"
     OR out MATCHES "Setup EZ-USB")
    message(SEND_ERROR "card_tool ${args}: status ${status} (want ${want_status})\n"
                       "stdout: [${out}]\nstderr: [${err}]")
  endif()
endforeach()

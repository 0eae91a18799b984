# Runs a command and compares its standard output with a file, byte for byte,
# and its exit status with STATUS. With RUNTIME_DIR set, the command runs with
# XDG_RUNTIME_DIR pointing at that (fresh) directory, so that the boards it
# starts meet no other board on this machine.
#   cmake -DCOMMAND=<cmd;args> -DEXPECTED=<file> -DSTATUS=<n> [-DRUNTIME_DIR=<dir>] -P compare_output.cmake
if(RUNTIME_DIR)
  file(REMOVE_RECURSE ${RUNTIME_DIR})
  file(MAKE_DIRECTORY ${RUNTIME_DIR})
  set(ENV{XDG_RUNTIME_DIR} ${RUNTIME_DIR})
endif()
execute_process(COMMAND ${COMMAND} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status
                TIMEOUT 60)
file(READ ${EXPECTED} expected)
if(NOT out STREQUAL expected)
  message(FATAL_ERROR "${COMMAND} printed:\n[${out}]\nexpected:\n[${expected}]\nstderr: [${err}]")
endif()
if(NOT status EQUAL STATUS)
  message(FATAL_ERROR "${COMMAND} exited with ${status}, expected ${STATUS}; stderr: [${err}]")
endif()

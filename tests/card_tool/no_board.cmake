# Runs the card tool with no board attached and checks what it prints and its
# exit status, byte for byte.
# A runtime directory of its own, so a virtual board the user has running
# elsewhere is not found.
file(REMOVE_RECURSE ${RUNTIME_DIR})
file(MAKE_DIRECTORY ${RUNTIME_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} -E env XDG_RUNTIME_DIR=${RUNTIME_DIR} ${TOOL} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status
                TIMEOUT 30)
set(expected "\nXilinx SpartanII Vodadizarad with Cypress EZ-USB\ncard_tool ${VERSION} (nebu board tools)\nSetup EZ-USB\nCan't found EZ-USB\n")
if(NOT out STREQUAL expected)
  message(FATAL_ERROR "card_tool printed:\n[${out}]\nexpected:\n[${expected}]")
endif()
if(NOT err STREQUAL "")
  message(FATAL_ERROR "card_tool wrote to stderr: [${err}]")
endif()
if(NOT status EQUAL 1)
  message(FATAL_ERROR "card_tool exited with ${status}, expected 1")
endif()

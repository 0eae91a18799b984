# vboard_test_programs(<target> <program.asm>...): assembles each small 8051
# test program (absolute areas; `.include "ezusb.inc"` finds the firmware's
# register map) with sdas8051, links it with sdld into
# <build dir>/programs/<name>.ihx, makes <target> depend on them and gives it
# TEST_PROGRAMS, the directory with a trailing slash.
find_program(VBOARD_TEST_SDAS8051 sdas8051 REQUIRED)
find_program(VBOARD_TEST_SDLD sdld REQUIRED)
function(vboard_test_programs target)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/programs)
  set(outputs)
  foreach(src IN LISTS ARGN)
    get_filename_component(stem ${src} NAME_WE)
    get_filename_component(src_abs ${src} ABSOLUTE)
    add_custom_command(
      OUTPUT ${dir}/${stem}.ihx
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${VBOARD_TEST_SDAS8051} -plosgff -I${PROJECT_SOURCE_DIR}/firmware ${dir}/${stem}.rel ${src_abs}
      COMMAND ${VBOARD_TEST_SDLD} -i ${dir}/${stem}.ihx ${dir}/${stem}.rel
      DEPENDS ${src_abs} ${PROJECT_SOURCE_DIR}/firmware/ezusb.inc
      COMMENT "Assembling test program ${stem}.asm"
      VERBATIM)
    list(APPEND outputs ${dir}/${stem}.ihx)
  endforeach()
  add_custom_target(${target}_programs DEPENDS ${outputs})
  add_dependencies(${target} ${target}_programs)
  target_compile_definitions(${target} PRIVATE TEST_PROGRAMS="${dir}/")
endfunction()

# The firmware's coverage (cmake -P, run by the target firmware_coverage):
# every test but the Linux guest, with each board counting into OUT/raw
# (NEBU_COVERAGE_DIR), then fwcov merges the counts and writes
# OUT/listing.txt (every source line with its counts) and OUT/summary.txt.
# Fails when a test fails or when the coverage target is missed.
#   -DCTEST= -DBUILD= -DOUT= -DFWCOV= -DIMAGE= -DSOURCE= -DLISTINGS= -DKNOWN=
file(REMOVE_RECURSE ${OUT}/raw)
file(MAKE_DIRECTORY ${OUT}/raw)
set(ENV{NEBU_COVERAGE_DIR} ${OUT}/raw)
# The guest test boots Linux in QEMU for 20-35 s; the firmware paths it
# drives are the card tool's and the streams', which the in-process tests
# drive as well.
execute_process(COMMAND ${CTEST} --test-dir ${BUILD} -E "^guest[.]" -j 2 --output-on-failure
                RESULT_VARIABLE tests_status)
# The explorer's full sweep (a host event at every instruction boundary of
# its stretches) reaches windows of a few instructions no other test times.
execute_process(COMMAND ${BUILD}/bin/firmware_explorer_test --gtest_also_run_disabled_tests
                        --gtest_filter=*FullSweep
                RESULT_VARIABLE sweep_status)
if(NOT sweep_status EQUAL 0)
  set(tests_status ${sweep_status})
endif()
unset(ENV{NEBU_COVERAGE_DIR})
execute_process(COMMAND ${FWCOV} --image ${IMAGE} --source ${SOURCE} --listings ${LISTINGS} --known ${KNOWN}
                        --listing ${OUT}/listing.txt --summary ${OUT}/summary.txt ${OUT}/raw
                RESULT_VARIABLE report_status)
if(NOT tests_status EQUAL 0)
  message(FATAL_ERROR "firmware_coverage: a test failed (above); the coverage is of the runs that passed")
endif()
if(NOT report_status EQUAL 0)
  message(FATAL_ERROR "firmware_coverage: the coverage target is missed or the report failed (above); "
                      "listing: ${OUT}/listing.txt")
endif()
message(STATUS "firmware_coverage: ${OUT}/summary.txt, ${OUT}/listing.txt")

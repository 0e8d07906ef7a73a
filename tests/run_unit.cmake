# Runs the unit-test binary (through the emulator when one is given) and
# fails when it ended before its last test, whatever its status: a crash
# or an exit inside code under test can end a test binary with status 0.
set(ENV{TEST_PREMATURE_EXIT_FILE} "${FLAG}")
file(REMOVE "${FLAG}")
execute_process(COMMAND ${EMULATOR} "${BIN}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "unit tests failed (${rc})")
endif()
if(EXISTS "${FLAG}")
  message(FATAL_ERROR "the unit-test binary ended before all its tests ran")
endif()

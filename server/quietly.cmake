# Runs one command with its standard output and error in a log file, so that
# a tool's banner and notes stay out of the build's output. When the command
# fails, the log is shown and the build step fails.
#   cmake -DLOG=FILE "-DCMD=COMMAND;ARG;..." -P quietly.cmake
# (The command travels as a list because cmake would read options such as -L
# after -P as its own.)
if(NOT CMD OR NOT LOG)
  message(FATAL_ERROR "usage: cmake -DLOG=FILE \"-DCMD=COMMAND;ARG;...\" -P quietly.cmake")
endif()
execute_process(COMMAND ${CMD} OUTPUT_FILE "${LOG}" ERROR_FILE "${LOG}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(READ "${LOG}" text)
  list(GET CMD 0 tool)
  message(FATAL_ERROR "${tool} failed (${result}); its output (also in ${LOG}):\n${text}")
endif()

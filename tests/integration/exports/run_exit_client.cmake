# Runs exit_client for one scenario and checks that the process ended cleanly and that the
# library closed the device it left open on its way out (or, with the Bluetooth worker stuck
# in a hung operation, left it open with its callbacks cleared instead of freeing it).
# -DPROGRAM=<exit_client> -DSCENARIO=<name> -DLOG=<log file>
file(REMOVE ${LOG})
execute_process(COMMAND ${PROGRAM} ${SCENARIO} ${LOG}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "exit_client ${SCENARIO}: status '${status}'\n${out}\n${err}")
endif()
if(NOT out STREQUAL "${SCENARIO}: returning from main\n")
  message(FATAL_ERROR "exit_client ${SCENARIO}: unexpected output '${out}'\n${err}")
endif()
file(READ ${LOG} log)
set(outcome "device 'MV-2402.00.01': closed\n")
if(SCENARIO MATCHES "^(frame|smp|open)$")
  set(outcome "1 open device(s) are left open with their callbacks cleared\n")
endif()
foreach(expected IN ITEMS "${outcome}" "# Log closed.\n")
  string(FIND "${log}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "exit_client ${SCENARIO}: the log lacks '${expected}':\n${log}")
  endif()
endforeach()

# Checks that MODULE needs no C++ runtime and carries no text relocation.
execute_process(COMMAND ${READELF} -dW ${MODULE} OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
if(NOT dynamic MATCHES "\\(NEEDED\\)")
  message(FATAL_ERROR "no NEEDED entries found in ${MODULE}:\n${dynamic}")
endif()
if(dynamic MATCHES "NEEDED\\)[^\n]*libstdc\\+\\+" OR dynamic MATCHES "TEXTREL")
  message(FATAL_ERROR "${MODULE} needs libstdc++ or has text relocations:\n${dynamic}")
endif()

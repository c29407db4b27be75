# Checks that ARCHIVE holds one object, a relocatable of EXPECTED_CLASS for EXPECTED_MACHINE, that
# its only global symbols are EXPECTED_GLOBALS, hidden ones included (a static link sees those
# too), and that it needs nothing but malloc, free, memcpy, memset, the assertion handler and
# EXTRA_UNDEFINED (the functions of another of the project's archives that it builds on).
execute_process(COMMAND ${READELF} -hW ${ARCHIVE} OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "\nFile: [^\n]+" members "${headers}")
list(LENGTH members memberCount)
if(NOT memberCount EQUAL 1)
  message(FATAL_ERROR "${memberCount} objects in ${ARCHIVE}, expected one:${members}")
endif()
foreach(field "Class: +${EXPECTED_CLASS}\n" "Type: +REL " "Machine: +${EXPECTED_MACHINE}\n")
  if(NOT headers MATCHES "${field}")
    message(FATAL_ERROR "the object does not match '${field}':\n${headers}")
  endif()
endforeach()

execute_process(COMMAND ${READELF} -sW ${ARCHIVE} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+ (GLOBAL|WEAK) +[A-Z]+ +[0-9]+ [^\n]+" defined "${symbols}")
list(TRANSFORM defined REPLACE ".* " "")
list(SORT defined)
set(expected ${EXPECTED_GLOBALS})
list(SORT expected)
if(NOT defined STREQUAL expected)
  message(FATAL_ERROR
    "the archive defines the globals '${defined}', expected '${EXPECTED_GLOBALS}':\n${symbols}")
endif()

# C programs link the archive with the C driver and nothing else: it may call the allocator, block
# copies and the assertion handler (and the sanitizer runtimes, in sanitizer builds).
set(allowed malloc free memcpy memset __assert_fail _GLOBAL_OFFSET_TABLE_ ${EXTRA_UNDEFINED})
list(JOIN allowed "|" allowedNames)
string(REGEX MATCHALL "[^\n]+ UND [^\n]+" undefined "${symbols}")
list(TRANSFORM undefined REPLACE ".* " "")
list(FILTER undefined EXCLUDE REGEX "^(|${allowedNames}|__(asan|ubsan)_[A-Za-z0-9_]+)$")
if(undefined)
  message(FATAL_ERROR "archive needs symbols beyond '${allowed}': ${undefined}")
endif()

# Checks that every object of ARCHIVE is a relocatable of EXPECTED_CLASS for EXPECTED_MACHINE and
# that the only symbol the archive makes visible to a linker is WeldMesh, and it needs nothing but
# malloc, free, memcpy, memset and the assertion handler.
execute_process(COMMAND ${READELF} -hW ${ARCHIVE} OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "\nFile: [^\n]+" members "${headers}")
list(LENGTH members memberCount)
if(memberCount EQUAL 0)
  message(FATAL_ERROR "no objects in ${ARCHIVE}")
endif()
foreach(field "Class: +${EXPECTED_CLASS}\n" "Type: +REL " "Machine: +${EXPECTED_MACHINE}\n")
  string(REGEX MATCHALL "${field}" matches "${headers}")
  list(LENGTH matches matchCount)
  if(NOT matchCount EQUAL memberCount)
    message(FATAL_ERROR "${matchCount} of ${memberCount} objects match '${field}':\n${headers}")
  endif()
endforeach()

# Hidden globals (such as the PC thunks of 32-bit position-independent code) stay inside
# whatever links the archive, so only default-visibility definitions count.
execute_process(COMMAND ${READELF} -sW ${ARCHIVE} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+ (GLOBAL|WEAK) +DEFAULT +[0-9]+ [^\n]+" exported "${symbols}")
list(TRANSFORM exported REPLACE ".* " "")
if(NOT exported STREQUAL "WeldMesh")
  message(FATAL_ERROR "archive exports '${exported}', expected WeldMesh alone:\n${symbols}")
endif()

# C programs link the archive with the C driver and nothing else: it may call the allocator, block
# copies and the assertion handler (and the sanitizer runtimes, in sanitizer builds).
# Calls from one object of the archive to another are resolved inside it.
string(REGEX MATCHALL "[^\n]+ UND [^\n]+" undefined "${symbols}")
list(TRANSFORM undefined REPLACE ".* " "")
string(REGEX MATCHALL "[^\n]+ (GLOBAL|WEAK) +[A-Z]+ +[0-9]+ [^\n]+" defined "${symbols}")
list(TRANSFORM defined REPLACE ".* " "")
list(REMOVE_ITEM undefined ${defined})
list(FILTER undefined EXCLUDE REGEX
  "^(|malloc|free|memcpy|memset|__assert_fail|_GLOBAL_OFFSET_TABLE_|__(asan|ubsan)_[A-Za-z0-9_]+)$")
if(undefined)
  message(FATAL_ERROR "archive needs symbols beyond the C allocator and block copies: ${undefined}")
endif()

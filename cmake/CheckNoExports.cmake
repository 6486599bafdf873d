# Fails when LIBRARY exports any symbol of its own, or, for a DLL, imports from anything but the
# host loader, KERNEL32 and the C runtime. Run as: cmake -DLIBRARY=... -DOBJDUMP=... -P
if(NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "no library at ${LIBRARY}")
endif()
execute_process(COMMAND "${OBJDUMP}" -p "${LIBRARY}" OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} could not read ${LIBRARY}")
endif()

if(LIBRARY MATCHES "\\.dll$")
  # PE: the named exports are listed under the name pointer table.
  string(REGEX MATCHALL "\n[\t ]*\\[[ 0-9]+\\] [^\n]+" exported "${dump}")
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  list(TRANSFORM imports REPLACE "DLL Name: " "")
  set(unexpected ${imports})
  list(FILTER unexpected EXCLUDE REGEX "^(version|KERNEL32|msvcrt)\\.dll$")
  if(unexpected)
    message(FATAL_ERROR "${LIBRARY} imports from ${unexpected} (all imports: ${imports})")
  endif()
  message(STATUS "${LIBRARY} imports from ${imports}")
else()
  execute_process(COMMAND "${OBJDUMP}" -T "${LIBRARY}" OUTPUT_VARIABLE symbols)
  # ELF: dynamic symbols that are global or weak and defined here (not *UND*).
  string(REGEX MATCHALL "\n[0-9a-f]+ [gw][^\n]*" exported "${symbols}")
  list(FILTER exported EXCLUDE REGEX "\\*UND\\*")
endif()

list(LENGTH exported count)
if(count GREATER 0)
  message(FATAL_ERROR "${LIBRARY} exports ${count} symbols:${exported}")
endif()
message(STATUS "${LIBRARY} exports nothing of its own")

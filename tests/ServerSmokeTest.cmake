# Runs the stand-in server end to end in a fresh directory with the plug-in installed, then
# checks its log, its save file and its report.
# cmake -DSERVER=... -DPLUGIN=... -DWORK_DIR=... [-DEMULATOR=...] -P ServerSmokeTest.cmake

function(run_server)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${SERVER_ENV} ${EMULATOR} "${SERVER}" ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(result "${result}" PARENT_SCOPE)
  set(output "${output}" PARENT_SCOPE)
endfunction()

function(expect_in file text)
  file(READ "${file}" content)
  string(FIND "${content}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "\"${text}\" is not in ${file}:\n${content}")
  endif()
endfunction()

function(summary_value key out)
  file(STRINGS "${WORK_DIR}/summary.txt" line REGEX "^${key}=")
  string(REGEX REPLACE "^${key}=" "" value "${line}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
get_filename_component(plugin_name "${PLUGIN}" NAME)
file(COPY "${PLUGIN}" DESTINATION "${WORK_DIR}/VelkorApi/Plugins/Tamsel")
file(WRITE "${WORK_DIR}/VelkorApi/Plugins/Tamsel/config.json" "{\"CpuThreads\": \"0\"}\n")

# Saves take about 400 ms (4 MiB at 100 ms each) and are asked for every 250 ms: the plug-in
# runs them beside the loop and refuses the requests that come while one runs.
run_server(--dir "${WORK_DIR}" --saves 4 --save-interval 0.25 --world-mb 4 --slow-disk-ms 100
           --tick-rate 50)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the server failed (${result}):\n${output}")
endif()
set(log "${WORK_DIR}/server.log")
expect_in("${log}" "[Tamsel][info] CPU Affinity Enabled!")
expect_in("${log}" "[Tamsel][info] Using CPU Thread[0]!")
expect_in("${log}" "[Tamsel][warning] World Already Saving!")
summary_value(saves_accepted accepted)
summary_value(saves_refused refused)
summary_value(plugins_loaded loaded)
if(NOT loaded EQUAL 1 OR accepted LESS 1 OR refused LESS 1)
  message(FATAL_ERROR "expected accepted and refused saves with the plug-in:\n${output}")
endif()
foreach(report ticks.csv ticks.svg)
  if(NOT EXISTS "${WORK_DIR}/${report}")
    message(FATAL_ERROR "no ${report} was written")
  endif()
endforeach()
run_server(--verify "${WORK_DIR}/world.sav")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the save does not load back: ${output}")
endif()

# A save that crashes is caught by the plug-in; the server goes on and the last good save stays.
# What the crashed save had open is abandoned with it, so the leak checker must look away.
set(SERVER_ENV ASAN_OPTIONS=detect_leaks=0)
run_server(--dir "${WORK_DIR}" --saves 2 --save-interval 0.2 --world-mb 4 --fail crash)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the server did not survive a crashing save (${result}):\n${output}")
endif()
set(SERVER_ENV "")
expect_in("${log}" "[Tamsel][error] Error failed to save!")
summary_value(saves_failed failed)
if(failed LESS 1)
  message(FATAL_ERROR "no failed save was counted:\n${output}")
endif()
run_server(--verify "${WORK_DIR}/world.sav")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "a crashed save damaged the last good one: ${output}")
endif()

# Bad input is refused with a message, never a crash.
run_server(--world-mb lots)
if(NOT result EQUAL 2 OR NOT output MATCHES "--world-mb takes a number")
  message(FATAL_ERROR "a bad option was not refused clearly (${result}): ${output}")
endif()
run_server(--dir "${WORK_DIR}/missing")
if(NOT result EQUAL 2 OR NOT output MATCHES "does not exist")
  message(FATAL_ERROR "a missing directory was not refused clearly (${result}): ${output}")
endif()
message(STATUS "the stand-in server ran end to end with the plug-in")

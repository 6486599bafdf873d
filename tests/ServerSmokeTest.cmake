# Runs the stand-in server end to end in a fresh directory with the plug-in installed, then
# checks its log, its save file and its report.
# cmake -DSERVER=... -DPLUGIN=... -DWORK_DIR=... [-DEMULATOR=...] -P ServerSmokeTest.cmake

# A server that hangs fails the test within two minutes rather than at CTest's limit.
function(run_server)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${SERVER_ENV} ${EMULATOR} "${SERVER}" ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output
                  TIMEOUT 120)
  set(result "${result}" PARENT_SCOPE)
  set(output "${output}" PARENT_SCOPE)
endfunction()

function(run_server_ok)
  run_server(${ARGN})
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the server failed (${result}):\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

function(expect_in file text)
  file(READ "${file}" content)
  string(FIND "${content}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "\"${text}\" is not in ${file}:\n${content}")
  endif()
endfunction()

function(expect_not_in file text)
  file(READ "${file}" content)
  string(FIND "${content}" "${text}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "\"${text}\" should not be in ${file}:\n${content}")
  endif()
endfunction()

function(count_in file text out)
  file(STRINGS "${file}" lines REGEX "${text}")
  list(LENGTH lines count)
  set(${out} ${count} PARENT_SCOPE)
endfunction()

# The server's log and report agree: every save that started is logged as started, and as
# saved or failed. The final save, asked for after the report, is one more of each.
function(expect_log_agrees_with_summary)
  summary_value(saves_accepted accepted)
  summary_value(saves_completed completed)
  summary_value(saves_failed failed)
  summary_value(final_request final)
  if(final GREATER 0)
    math(EXPR accepted "${accepted} + 1")
  endif()
  math(EXPR ended "${completed} + ${failed}")
  count_in("${log}" "\\[Server\\] ?\\[info\\] World save started" started_lines)
  count_in("${log}" "\\[Server\\] ?\\[info\\] World saved in" saved_lines)
  count_in("${log}" "\\[Server\\] ?\\[error\\] World save failed: " failed_lines)
  math(EXPR ended_lines "${saved_lines} + ${failed_lines}")
  if(NOT started_lines EQUAL accepted OR NOT ended_lines EQUAL started_lines
     OR saved_lines LESS completed OR failed_lines LESS failed)
    message(FATAL_ERROR "log (${started_lines} started, ${saved_lines} saved, ${failed_lines} "
                        "failed) and summary (${accepted} with the final save, ${completed}, "
                        "${failed}) differ")
  endif()
endfunction()

# The save on disk answers the final request, complete, though the server did not wait for it.
function(expect_final_save_on_disk)
  summary_value(final_request final)
  run_server(--verify "${WORK_DIR}/world.sav")
  if(NOT result EQUAL 0 OR NOT output MATCHES "complete, written by save [0-9]+ for request ${final}\n")
    message(FATAL_ERROR "the final save (for request ${final}) is not the one on disk: ${output}")
  endif()
endfunction()

function(write_config text)
  file(WRITE "${WORK_DIR}/VelkorApi/Plugins/Tamsel/config.json" "${text}\n")
  file(REMOVE "${WORK_DIR}/server.log")
endfunction()

function(summary_value key out)
  file(STRINGS "${WORK_DIR}/summary.txt" line REGEX "^${key}=")
  string(REGEX REPLACE "^${key}=" "" value "${line}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
get_filename_component(plugin_name "${PLUGIN}" NAME)
file(COPY "${PLUGIN}" DESTINATION "${WORK_DIR}/VelkorApi/Plugins/Tamsel")
set(log "${WORK_DIR}/server.log")
write_config("{\"CpuThreads\": \"0\"}")

# Saves take about 400 ms (4 MiB at 100 ms each) and are asked for every 250 ms: the plug-in
# runs them beside the loop and refuses the requests that come while one runs.
run_server(--dir "${WORK_DIR}" --saves 4 --save-interval 0.25 --world-mb 4 --slow-disk-ms 100
           --tick-rate 50)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the server failed (${result}):\n${output}")
endif()
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
expect_log_agrees_with_summary()
expect_final_save_on_disk()
expect_not_in("${log}" "[Tamsel][info] World saved in")
if(HOST_SPDLOG_0)
  # The host's spdlog line: the server's own lines keep the host's pattern beside the plug-in.
  expect_in("${log}" "] [Server] [info] Loaded plug-in Tamsel")
endif()

# With saves that do not overlap, every save asked for is run and measured, the last one too;
# the plug-in reports each one's duration when asked to.
write_config("{\"CpuThreads\": \"\", \"LogSaveTimes\": true}")
run_server_ok(--dir "${WORK_DIR}" --saves 3 --save-interval 0.4 --world-mb 2 --tick-rate 50)
summary_value(saves_completed completed)
file(STRINGS "${WORK_DIR}/saves.csv" saves_lines)
list(LENGTH saves_lines saves_rows)
count_in("${log}" "\\[Tamsel\\]\\[info\\] World saved in [0-9]+\\.[0-9][0-9][0-9] s\\." reported)
if(NOT completed EQUAL 3 OR NOT saves_rows EQUAL 4 OR NOT reported EQUAL 4)
  message(FATAL_ERROR "expected 3 saves run, measured and reported (${completed}, "
                      "${saves_rows} lines in saves.csv, ${reported} reports):\n${output}")
endif()
expect_log_agrees_with_summary()

# A switch of the wrong type is refused with a warning; the plug-in works as before.
write_config("{\"CpuThreads\": \"0\", \"LogSaveTimes\": \"yes\"}")
run_server_ok(--dir "${WORK_DIR}" --saves 2 --save-interval 0.3 --world-mb 2 --tick-rate 50)
expect_in("${log}" "[Tamsel][warning] \"LogSaveTimes\" in config.json must be true or false")
expect_in("${log}" "[Tamsel][info] Using CPU Thread[0]!")
expect_not_in("${log}" "[Tamsel][info] World saved in")
summary_value(saves_completed completed)
if(NOT completed EQUAL 2)
  message(FATAL_ERROR "the plug-in did not save as before:\n${output}")
endif()

# A save that fails for real (its temporary file's name is taken by a directory) is counted
# and logged with its reason; the server exits normally and the last good save stays.
file(MAKE_DIRECTORY "${WORK_DIR}/world.sav.tmp")
write_config("{\"CpuThreads\": \"\"}")
run_server(--dir "${WORK_DIR}" --seconds 1 --save-interval 0.3 --world-mb 2 --tick-rate 50)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the server did not exit normally after failing saves (${result}):\n${output}")
endif()
expect_in("${log}" "[error] World save failed: cannot create ")
expect_in("${log}" "world.sav.tmp: ")
expect_in("${log}" "[Tamsel][error] Error failed to save!")
summary_value(saves_failed failed)
if(failed LESS 1)
  message(FATAL_ERROR "no failed save was counted:\n${output}")
endif()
expect_log_agrees_with_summary()
file(REMOVE_RECURSE "${WORK_DIR}/world.sav.tmp")
run_server(--verify "${WORK_DIR}/world.sav")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "failed saves damaged the last good one: ${output}")
endif()

# A save that crashes is caught by the plug-in, which says what ended it; the server goes on
# and the last good save stays. The few bytes a crashed save had on its stack are abandoned
# with it, so the leak checker must look away.
write_config("{\"CpuThreads\": \"\", \"LogSaveFaults\": true}")
set(SERVER_ENV ASAN_OPTIONS=detect_leaks=0)
run_server(--dir "${WORK_DIR}" --saves 2 --save-interval 0.2 --world-mb 4 --fail crash
           --no-final-save)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the server did not survive a crashing save (${result}):\n${output}")
endif()
set(SERVER_ENV "")
expect_in("${log}" "[Tamsel][error] Error failed to save!")
expect_in("${log}" "[Tamsel][error] Save fault: ")
expect_in("${log}" "writing address 0x0 in dravik-server")
summary_value(saves_failed failed)
if(failed LESS 1)
  message(FATAL_ERROR "no failed save was counted:\n${output}")
endif()
expect_log_agrees_with_summary()
if(EXISTS "${WORK_DIR}/world.sav.tmp")
  message(FATAL_ERROR "the crashed save's file was left behind at exit")
endif()
run_server(--verify "${WORK_DIR}/world.sav")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "a crashed save damaged the last good one: ${output}")
endif()

# Reports that cannot be written are refused before the run starts.
run_server(--dir "${WORK_DIR}" --seconds 30 --csv "${WORK_DIR}")
if(result EQUAL 0 OR NOT output MATCHES "cannot write" OR output MATCHES "plug-ins")
  message(FATAL_ERROR "an unwritable --csv was not refused before the run (${result}): ${output}")
endif()
run_server(--dir "${WORK_DIR}" --seconds 30 --svg "${WORK_DIR}/missing/ticks.svg")
if(result EQUAL 0 OR NOT output MATCHES "cannot write")
  message(FATAL_ERROR "an unwritable --svg was not refused before the run (${result}): ${output}")
endif()

# The server asks for its final save and ends at once, whichever way it ends: the plug-in
# holds the exit until the save is done, and that save is the one on disk.
write_config("{\"CpuThreads\": \"\"}")
foreach(how return exit exit-process)
  run_server_ok(--dir "${WORK_DIR}" --saves 1 --save-interval 0.1 --world-mb 4
                --slow-disk-ms 100 --exit-with ${how})
  expect_in("${log}" "[Tamsel][info] Waiting for the running world save to finish")
  expect_final_save_on_disk()
endforeach()
# The shutdown request comes while a periodic save runs (2 s of writing, asked for at 0.5 s;
# the run ends at 1.05 s): the plug-in refuses it, and once that save has ended at exit it runs
# the server's routine once more, so the latest state is the one on disk.
foreach(how return exit)
  run_server_ok(--dir "${WORK_DIR}" --seconds 1.05 --save-interval 0.5 --world-mb 4
                --slow-disk-ms 500 --exit-with ${how})
  expect_in("${log}" "[Tamsel][info] Saving once more before exit: a save asked for during the last one was refused.")
  expect_final_save_on_disk()
endforeach()
# Without the final save, the last periodic save is the one on disk. The interval is ample: a
# request that came while the first save ran would be refused.
run_server_ok(--dir "${WORK_DIR}" --saves 2 --save-interval 2 --world-mb 1 --no-final-save)
run_server(--verify "${WORK_DIR}/world.sav")
if(NOT output MATCHES "written by save 2 for request 2\n")
  message(FATAL_ERROR "the last periodic save is not on disk: ${output}")
endif()

# A disk that fills up during the reports: the run fails and says which file and why.
if(EXISTS /dev/full AND NOT EMULATOR)
  run_server(--dir "${WORK_DIR}" --seconds 0.5 --world-mb 1 --csv /dev/full)
  if(result EQUAL 0 OR NOT output MATCHES "cannot write /dev/full: No space left on device")
    message(FATAL_ERROR "a full disk was not reported (${result}): ${output}")
  endif()
endif()

# A complete save that cannot take the old one's place is kept, and the failure says where.
file(REMOVE "${WORK_DIR}/world.sav")
file(MAKE_DIRECTORY "${WORK_DIR}/world.sav")
run_server_ok(--dir "${WORK_DIR}" --saves 1 --world-mb 1 --save-interval 0.1 --no-plugins)
expect_in("${log}" "the complete save was left in ")
run_server(--verify "${WORK_DIR}/world.sav.tmp")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the complete save was not kept: ${output}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}/world.sav" "${WORK_DIR}/world.sav.tmp")

# A server folder named in any script, and one whose plug-in path is longer than the
# system's classic limit: the plug-in loads, or a line says why not.
foreach(folder "wé ☃ 漢字" "long-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")
  set(dir "${WORK_DIR}/${folder}")
  file(COPY "${PLUGIN}" "${WORK_DIR}/VelkorApi/Plugins/Tamsel/config.json"
       DESTINATION "${dir}/VelkorApi/Plugins/Tamsel")
  run_server_ok(--dir "${dir}" --saves 1 --world-mb 1 --save-interval 0.1)
  if(NOT EXISTS "${dir}/server.log" OR NOT EXISTS "${dir}/world.sav")
    message(FATAL_ERROR "no log or save in ${dir}:\n${output}")
  endif()
  file(READ "${dir}/server.log" content)
  if(NOT content MATCHES "Loaded plug-in Tamsel|Plug-in Tamsel failed to load: ")
    message(FATAL_ERROR "nothing said about the plug-in in ${dir}:\n${content}")
  endif()
endforeach()

# A crashing save in a server whose program lies in that long path: the fault report still
# names the program, whatever the length of its path.
get_filename_component(server_name "${SERVER}" NAME)
get_filename_component(server_build_dir "${SERVER}" DIRECTORY)
file(GLOB host_library "${server_build_dir}/version.dll")  # Windows: found beside the program
file(COPY "${SERVER}" ${host_library} DESTINATION "${dir}")
file(WRITE "${dir}/VelkorApi/Plugins/Tamsel/config.json" "{\"CpuThreads\": \"\", \"LogSaveFaults\": true}\n")
set(SERVER_ENV ASAN_OPTIONS=detect_leaks=0)
set(build_server "${SERVER}")
set(SERVER "${dir}/${server_name}")
run_server_ok(--dir "${dir}" --saves 1 --world-mb 1 --save-interval 0.1 --fail crash --no-final-save)
set(SERVER "${build_server}")
set(SERVER_ENV "")
expect_in("${dir}/server.log" "writing address 0x0 in ${server_name}+0x")

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

# Fails unless the Visual C++-ABI LIBRARY exports nothing and imports exactly the host loader's
# five functions from version.dll, under their Visual C++ names, besides KERNEL32 and the
# Visual C++ runtime DLLs, and nothing that only Wine's DLLs export. Run as:
# cmake -DLIBRARY=... -DREADOBJ=llvm-readobj -P CheckImports.cmake
# Included without LIBRARY, it only sets TAMSEL_HOST_IMPORTS, for build-info.txt.

# The host loader's functions as a Visual Studio-built host exports them.
set(TAMSEL_HOST_IMPORTS
  "?GetAddress@@YAPEAXAEBV?$basic_string@DU?$char_traits@D@std@@V?$allocator@D@2@@std@@@Z"
  "?GetCurrentDir@Tools@VelkorApi@@YA?AV?$basic_string@DU?$char_traits@D@std@@V?$allocator@D@2@@std@@XZ"
  "?GetHooks@VelkorApi@@YAAEAVIHooks@1@XZ"
  "?GetLogSinks@@YAAEAV?$vector@V?$shared_ptr@Vsink@sinks@spdlog@@@std@@V?$allocator@V?$shared_ptr@Vsink@sinks@spdlog@@@std@@@2@@std@@XZ"
  "?Utf8Decode@Tools@VelkorApi@@YA?AV?$basic_string@_WU?$char_traits@_W@std@@V?$allocator@_W@2@@std@@AEBV?$basic_string@DU?$char_traits@D@std@@V?$allocator@D@2@@4@@Z")
if(NOT DEFINED LIBRARY)
  return()
endif()

execute_process(COMMAND "${READOBJ}" --coff-imports --coff-exports "${LIBRARY}"
                OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${READOBJ} could not read ${LIBRARY}")
endif()
set(expected_host_imports ${TAMSEL_HOST_IMPORTS})

# Each import block: "Name: X.dll" followed by its "Symbol: ..." lines.
string(REGEX MATCHALL "Import {[^}]*}" blocks "${dump}")
set(libraries "")
set(host_imports "")
foreach(block ${blocks})
  string(REGEX MATCH "Name: ([^\n]+)" _ "${block}")
  set(library "${CMAKE_MATCH_1}")
  string(TOLOWER "${library}" library)
  list(APPEND libraries "${library}")
  if(library STREQUAL "version.dll")
    string(REGEX MATCHALL "Symbol: [^ \n]+" symbols "${block}")
    list(TRANSFORM symbols REPLACE "Symbol: " "")
    list(APPEND host_imports ${symbols})
  endif()
endforeach()
list(REMOVE_DUPLICATES libraries)
set(unexpected ${libraries})
list(FILTER unexpected EXCLUDE REGEX
     "^(version|kernel32|vcruntime140|msvcp140|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
if(unexpected)
  message(FATAL_ERROR "${LIBRARY} imports from ${unexpected} (all: ${libraries})")
endif()
list(SORT host_imports)
list(SORT expected_host_imports)
if(NOT host_imports STREQUAL expected_host_imports)
  string(REPLACE ";" "\n  " got "${host_imports}")
  message(FATAL_ERROR "${LIBRARY} imports from version.dll:\n  ${got}")
endif()
# Wine's kernel32 exports __chkstk; Windows' does not, so a module must carry its own.
if(dump MATCHES "Symbol: __chkstk ")
  message(FATAL_ERROR "${LIBRARY} imports __chkstk, which Windows does not export")
endif()
if(dump MATCHES "Export {")
  message(FATAL_ERROR "${LIBRARY} exports symbols:\n${dump}")
endif()
message(STATUS "${LIBRARY} imports the host's five functions and ${libraries}; exports nothing")

# Fails when a source of the plug-in's layers includes a header by a relative path that leaves
# its folder ("../") or by an absolute path.
# cmake -DSOURCE_DIR=<project root> -P CheckIncludePaths.cmake
set(offending "")
foreach(layer text platform host logging state config plugin entry)
  file(GLOB_RECURSE sources "${SOURCE_DIR}/${layer}/*.h" "${SOURCE_DIR}/${layer}/*.cpp")
  foreach(source ${sources})
    file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"(\\.\\./|/)")
    foreach(line ${includes})
      file(RELATIVE_PATH name "${SOURCE_DIR}" "${source}")
      list(APPEND offending "${name}: ${line}")
    endforeach()
  endforeach()
endforeach()
if(offending)
  list(JOIN offending "\n" offending)
  message(FATAL_ERROR "includes that leave the include path:\n${offending}")
endif()

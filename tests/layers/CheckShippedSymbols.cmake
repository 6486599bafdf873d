# Fails when the built plug-in LIBRARY holds code of the stand-ins or the tests: a symbol of
# their namespaces, of GoogleTest, or named as a test seam. Its symbol table must list the
# plug-in's own code, so that an empty table cannot pass.
# A Windows DLL's symbols are those of its PDB, beside it.
# cmake -DLIBRARY=... -DNM=... -DPDBUTIL=... -P CheckShippedSymbols.cmake
get_filename_component(name "${LIBRARY}" NAME)
set(listing "${CMAKE_CURRENT_BINARY_DIR}/${name}.symbols")
if(LIBRARY MATCHES "\\.dll$")
  string(REGEX REPLACE "\\.dll$" ".pdb" pdb "${LIBRARY}")
  set(lister "${PDBUTIL}" dump --symbols "${pdb}")
else()
  set(lister "${NM}" -C "${LIBRARY}")
endif()
execute_process(COMMAND ${lister} OUTPUT_FILE "${listing}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${lister} could not read ${LIBRARY}")
endif()
file(STRINGS "${listing}" own REGEX "tamsel::" LIMIT_COUNT 1)
if(NOT own)
  message(FATAL_ERROR "${LIBRARY} lists none of the plug-in's own symbols: nothing to check")
endif()
file(STRINGS "${listing}" foreign
     REGEX "SimHost|SimOs|SimServer|testing::|ForTesting|SimulatedSave|CaptureSink")
if(foreign)
  list(JOIN foreign "\n" foreign)
  message(FATAL_ERROR "${LIBRARY} holds code of the stand-ins or the tests:\n${foreign}")
endif()
message(STATUS "${LIBRARY} holds nothing of the stand-ins or the tests")

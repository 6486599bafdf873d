# Fails unless the Windows DLL's debug information names its code: the DLL's debug directory
# names its PDB by file name only, and an address inside the save detour resolves through that
# PDB, found beside the DLL, to the function and its source file.
# cmake -DLIBRARY=... -DREADOBJ=llvm-readobj -DPDBUTIL=llvm-pdbutil -DSYMBOLIZER=llvm-symbolizer -P
get_filename_component(LIBRARY "${LIBRARY}" ABSOLUTE)
get_filename_component(folder "${LIBRARY}" DIRECTORY)
get_filename_component(stem "${LIBRARY}" NAME_WE)
set(pdb "${folder}/${stem}.pdb")
if(NOT EXISTS "${pdb}")
  message(FATAL_ERROR "no ${stem}.pdb beside ${LIBRARY}")
endif()

execute_process(COMMAND "${READOBJ}" --coff-debug-directory --file-headers --sections "${LIBRARY}"
                OUTPUT_VARIABLE image)
if(NOT image MATCHES "PDBFileName: ${stem}\\.pdb\n")
  string(REGEX MATCH "PDBFileName: [^\n]*" named "${image}")
  message(FATAL_ERROR "${LIBRARY}'s debug directory does not name ${stem}.pdb alone: ${named}")
endif()

# The detour's section and offset, from the PDB's symbol record of it.
set(function "tamsel::SaveWorldDetour")
execute_process(COMMAND "${PDBUTIL}" dump --symbols "${pdb}" OUTPUT_VARIABLE symbols)
if(NOT symbols MATCHES "S_GPROC32 [^\n]*`${function}`\n[^\n]*addr = ([0-9]+):([0-9]+)")
  message(FATAL_ERROR "${pdb} has no procedure record of ${function}")
endif()
set(section ${CMAKE_MATCH_1})
set(offset ${CMAKE_MATCH_2})
math(EXPR section "${section}")  # "0001" -> 1
string(REGEX MATCH "ImageBase: (0x[0-9A-Fa-f]+)" base "${image}")
set(base ${CMAKE_MATCH_1})
if(NOT image MATCHES "Number: ${section}\n[^\n]*\n[^\n]*\n *VirtualAddress: (0x[0-9A-Fa-f]+)")
  message(FATAL_ERROR "${LIBRARY} has no section ${section}")
endif()
math(EXPR address "${base} + ${CMAKE_MATCH_1} + ${offset} + 16" OUTPUT_FORMAT HEXADECIMAL)

execute_process(COMMAND "${SYMBOLIZER}" "--obj=${LIBRARY}" ${address}
                WORKING_DIRECTORY "${folder}" OUTPUT_VARIABLE resolved)
if(NOT resolved MATCHES "^${function}\\(" OR NOT resolved MATCHES "SaveWorld\\.cpp:[1-9]")
  message(FATAL_ERROR "${address} in ${LIBRARY} resolves to\n${resolved}not to ${function} in SaveWorld.cpp")
endif()
message(STATUS "${address} in ${LIBRARY}: ${resolved}")

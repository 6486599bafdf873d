# Cross build for 64-bit Windows on Debian: clang targeting mingw-w64 (it accepts __try/__except,
# which mingw-w64's g++ does not), with mingw-w64's posix-threads libstdc++ and winpthreads,
# linked statically so that the DLLs and programs need no runtime DLLs beside them.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAMSEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSROOT /usr/${TAMSEL_MINGW_TRIPLE})

file(GLOB TAMSEL_MINGW_GCC_DIRS LIST_DIRECTORIES true "/usr/lib/gcc/${TAMSEL_MINGW_TRIPLE}/*-posix")
list(SORT TAMSEL_MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET TAMSEL_MINGW_GCC_DIRS 0 TAMSEL_MINGW_GCC_DIR)
if(NOT IS_DIRECTORY "${TAMSEL_MINGW_GCC_DIR}")
  message(FATAL_ERROR "mingw-w64 posix toolchain not found: run scripts/install-deps.sh")
endif()

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TAMSEL_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TAMSEL_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${TAMSEL_MINGW_TRIPLE}-windres)
# LLVM's archiver: binutils' takes 13 s to index each object with CodeView debug information.
set(CMAKE_AR llvm-ar)
set(CMAKE_RANLIB llvm-ranlib)

# clang does not find Debian's mingw-w64 libstdc++ by itself. That libstdc++ (built by g++)
# defines type_info::operator== out of line; clang must use that one, not emit its own.
# CodeView debug information and a PDB beside each module, as the Visual C++ build has, so that
# a Windows debugger or dump reader names this build's frames too.
set(CMAKE_CXX_FLAGS_INIT
    "-g -gcodeview -D__GXX_TYPEINFO_EQUALITY_INLINE=0 -nostdinc++ -isystem ${TAMSEL_MINGW_GCC_DIR}/include/c++ -isystem ${TAMSEL_MINGW_GCC_DIR}/include/c++/${TAMSEL_MINGW_TRIPLE} -isystem ${TAMSEL_MINGW_GCC_DIR}/include/c++/backward")
set(TAMSEL_MINGW_LINK_FLAGS
    "-fuse-ld=lld -Wl,--pdb= -Wl,--Xlink=/pdbaltpath:%_PDB% -L${TAMSEL_MINGW_GCC_DIR} -static -static-libgcc -static-libstdc++ -Wno-unused-command-line-argument")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${TAMSEL_MINGW_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${TAMSEL_MINGW_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${TAMSEL_MINGW_LINK_FLAGS}")
# shell32 as Visual Studio links it by default (only what a module calls is imported).
set(CMAKE_CXX_STANDARD_LIBRARIES "-lstdc++ -lpthread -lshell32")
set(CMAKE_C_STANDARD_LIBRARIES "-lpthread -lshell32")

set(CMAKE_FIND_ROOT_PATH ${CMAKE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/run-under-wine.sh)

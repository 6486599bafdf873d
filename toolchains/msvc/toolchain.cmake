# Cross build for 64-bit Windows with the Visual C++ ABI, the one a Visual Studio-built host
# loader uses: clang's x86_64-pc-windows-msvc target and lld-link, Microsoft's standard library
# headers ($TAMSEL_MSVC_STL, or ../shared/msvc-stl), Wine's C runtime and Windows headers and
# import libraries (Debian's libwine-dev), and the stand-ins in this folder for the toolset's
# headers (include/). What Visual Studio links into every module is the target
# tamsel_msvc_runtime (runtime/), built with the project. Release runtime layouts (/MD,
# _ITERATOR_DEBUG_LEVEL=0). README.md says what each piece replaces.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TAMSEL_MSVC_TRIPLE x86_64-pc-windows-msvc)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TAMSEL_MSVC_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TAMSEL_MSVC_TRIPLE})
set(CMAKE_RC_COMPILER llvm-rc)
set(CMAKE_AR llvm-ar)
set(CMAKE_LINKER lld-link)
set(CMAKE_MT llvm-mt)
# The compiler checks compile only: linking a program needs the runtime target. Checks
# that would pass for want of linking are answered here: Windows threads, no POSIX threads.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
foreach(check CMAKE_HAVE_LIBC_PTHREAD CMAKE_HAVE_PTHREADS_CREATE CMAKE_HAVE_PTHREAD_CREATE
        THREADS_HAVE_PTHREAD_ARG)
  set(${check} FALSE CACHE INTERNAL "no POSIX threads with the Visual C++ runtime")
endforeach()

set(TAMSEL_MSVC_ABI_DIR ${CMAKE_CURRENT_LIST_DIR})
if(DEFINED ENV{TAMSEL_MSVC_STL})
  set(TAMSEL_MSVC_STL $ENV{TAMSEL_MSVC_STL})
else()
  get_filename_component(TAMSEL_MSVC_STL "${CMAKE_CURRENT_LIST_DIR}/../../../shared/msvc-stl"
                         ABSOLUTE)
endif()
set(TAMSEL_WINE_INCLUDE /usr/include/wine/wine)
set(TAMSEL_WINE_DLLS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
foreach(needed "${TAMSEL_MSVC_STL}/stl/inc/yvals_core.h" "${TAMSEL_WINE_INCLUDE}/msvcrt/stdio.h"
        "${TAMSEL_WINE_DLLS}/ucrtbase.dll")
  if(NOT EXISTS "${needed}")
    message(FATAL_ERROR "${needed} is missing: Microsoft's standard library is looked for in "
                        "$TAMSEL_MSVC_STL or ../shared/msvc-stl, Wine's headers and DLLs come "
                        "from scripts/install-deps.sh (libwine-dev, wine64)")
  endif()
endforeach()

# Everything made here lives in the build folder, once per build folder.
set(TAMSEL_MSVC_WORK ${CMAKE_BINARY_DIR}/msvc-abi)
file(MAKE_DIRECTORY ${TAMSEL_MSVC_WORK}/wine-include ${TAMSEL_MSVC_WORK}/lib)

# Wine's headers that differ from the Universal C Runtime's in one line each: copied, mended.
function(tamsel_mend_wine_header header)
  get_filename_component(name ${header} NAME)
  set(mended ${TAMSEL_MSVC_WORK}/wine-include/${name})
  if(EXISTS ${mended})
    return()
  endif()
  file(READ ${TAMSEL_WINE_INCLUDE}/${header} text)
  set(replacements ${ARGN})
  while(replacements)
    list(POP_FRONT replacements from to)
    string(FIND "${text}" "${from}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "${header} of this Wine has no \"${from}\" to mend")
    endif()
    string(REPLACE "${from}" "${to}" text "${text}")
  endwhile()
  file(WRITE ${mended} "${text}")
endfunction()
# The UCRT's mbstate_t is the 8-byte _Mbstatet, which appears in mangled names.
tamsel_mend_wine_header(msvcrt/wchar.h
  "typedef int mbstate_t;" "#include <vcruntime.h>\ntypedef _Mbstatet mbstate_t;")
# atexit and _onexit belong to each module, as in Visual Studio's runtime.
tamsel_mend_wine_header(msvcrt/stdlib.h
  "_ACRTIMP _onexit_t     __cdecl _onexit(" "_onexit_t __cdecl _onexit("
  "_ACRTIMP int           __cdecl atexit(" "int __cdecl atexit(")
# clang knows these intrinsics itself, as cl does.
tamsel_mend_wine_header(windows/winnt.h
  "#if defined(_MSC_VER) && !defined(__clang__)" "#if defined(_MSC_VER)")
# "#define inline __inline" trips the standard library's keyword check.
tamsel_mend_wine_header(windows/windef.h "# define inline __inline" "")

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-resource-dir
                OUTPUT_VARIABLE TAMSEL_CLANG_RESOURCE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
set(TAMSEL_MSVC_INCLUDES
  -nostdinc
  -isystem ${TAMSEL_MSVC_STL}/stl/inc
  -isystem ${TAMSEL_MSVC_ABI_DIR}/include
  -isystem ${TAMSEL_MSVC_WORK}/wine-include
  -isystem ${TAMSEL_CLANG_RESOURCE_DIR}/include
  -isystem ${TAMSEL_WINE_INCLUDE}/msvcrt
  -isystem ${TAMSEL_WINE_INCLUDE}/windows)
set(TAMSEL_MSVC_DEFINES
  -D_UCRT -D_MT -D_DLL -D_ITERATOR_DEBUG_LEVEL=0 -D_USE_STD_VECTOR_ALGORITHMS=0
  -DUSE_COMPILER_EXCEPTIONS -DWINE_UNICODE_NATIVE)
set(TAMSEL_MSVC_LANGUAGE
  -fms-compatibility -fms-extensions -fms-compatibility-version=19.30 -fexceptions
  -fcxx-exceptions)
list(JOIN TAMSEL_MSVC_INCLUDES " " includes)
list(JOIN TAMSEL_MSVC_DEFINES " " defines)
list(JOIN TAMSEL_MSVC_LANGUAGE " " language)
set(CMAKE_C_FLAGS_INIT
    "${includes} ${defines} -fms-compatibility -fms-extensions -fstack-protector-strong")
# CodeView debug information (/Zi) and stack protection (/GS) in every configuration, as in a
# Visual Studio Release build; Control Flow Guard stays off, as there (lld-link's /guard:cf
# would mark the image without the load configuration tables it needs).
set(CMAKE_CXX_FLAGS_INIT
    "${includes} ${defines} ${language} -g -gcodeview -fstack-protector-strong")

# Import libraries: Wine's own where they list what the module imports; Wine's msvcp140 one
# names none of the standard library's C++ functions, so that one is made from the DLL's exports.
set(TAMSEL_MSVCP_IMPORT_LIBRARY ${TAMSEL_MSVC_WORK}/lib/msvcp140.lib)
if(NOT EXISTS ${TAMSEL_MSVCP_IMPORT_LIBRARY})
  execute_process(COMMAND llvm-readobj --coff-exports ${TAMSEL_WINE_DLLS}/msvcp140.dll
                  OUTPUT_VARIABLE exports RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot read the exports of ${TAMSEL_WINE_DLLS}/msvcp140.dll")
  endif()
  string(REGEX MATCHALL "Name: [^\n]+" names "${exports}")
  list(TRANSFORM names REPLACE "^Name: " "")
  list(JOIN names "\n" names)
  file(WRITE ${TAMSEL_MSVC_WORK}/lib/msvcp140.def "LIBRARY msvcp140.dll\nEXPORTS\n${names}\n")
  execute_process(COMMAND llvm-dlltool -m i386:x86-64 -d ${TAMSEL_MSVC_WORK}/lib/msvcp140.def
                          -l ${TAMSEL_MSVCP_IMPORT_LIBRARY} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot make ${TAMSEL_MSVCP_IMPORT_LIBRARY}")
  endif()
endif()

# Compiler options for the runtime target (runtime/CMakeLists.txt), which also compiles two of
# the standard library's own sources.
# The module's start-up sets the security cookie, so it runs without stack protection (/GS-).
set(TAMSEL_MSVC_RUNTIME_OPTIONS -isystem ${TAMSEL_MSVC_ABI_DIR}/stl-src -O2 -D_WIN32_WINNT=0x0A00
    -fno-stack-protector -Wno-everything)

# A PDB beside each module, named in its debug directory by file name only (/pdbaltpath), as
# Visual Studio's Release link; /debug would otherwise turn off /opt:ref and /opt:icf.
set(TAMSEL_MSVC_LINK_FLAGS
    "-fuse-ld=lld -nostdlib -Wl,/nodefaultlib -Wl,/debug -Wl,/pdbaltpath:%_PDB% -Wl,/opt:ref -Wl,/opt:icf -Wno-unused-command-line-argument")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${TAMSEL_MSVC_LINK_FLAGS} -Wl,/entry:mainCRTStartup")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${TAMSEL_MSVC_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${TAMSEL_MSVC_LINK_FLAGS}")
# vcruntime140 before ucrtbase: Wine's ucrtbase also exports the exception functions.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
foreach(library libvcruntime140.a libucrtbase.a ${TAMSEL_MSVCP_IMPORT_LIBRARY} libkernel32.a
        libshell32.a)
  if(NOT IS_ABSOLUTE ${library})
    set(library ${TAMSEL_WINE_DLLS}/${library})  # beside the DLLs
  endif()
  string(APPEND CMAKE_CXX_STANDARD_LIBRARIES " ${library}")
endforeach()
set(CMAKE_C_STANDARD_LIBRARIES "${CMAKE_CXX_STANDARD_LIBRARIES}")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/run-under-wine.sh)

# Cross build for 64-bit Windows with the Visual C++ ABI, the one a Visual Studio-built host
# loader uses: clang's x86_64-pc-windows-msvc target and lld-link, Microsoft's standard library
# headers ($TAMSEL_MSVC_STL, or ../shared/msvc-stl), Wine's C runtime and Windows headers
# (Debian's libwine-dev), import libraries made from Wine's runtime DLLs, and the project's own
# stand-ins for the toolset's headers and for what Visual Studio links into every module
# (cmake/msvc-abi). Release runtime layouts (/MD, _ITERATOR_DEBUG_LEVEL=0).

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
# The compiler checks compile only: linking a program needs the runtime made below. Checks
# that would pass for want of linking are answered here: Windows threads, no POSIX threads.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
foreach(check CMAKE_HAVE_LIBC_PTHREAD CMAKE_HAVE_PTHREADS_CREATE CMAKE_HAVE_PTHREAD_CREATE
        THREADS_HAVE_PTHREAD_ARG)
  set(${check} FALSE CACHE INTERNAL "no POSIX threads with the Visual C++ runtime")
endforeach()

set(TAMSEL_MSVC_ABI_DIR ${CMAKE_CURRENT_LIST_DIR}/msvc-abi)
if(DEFINED ENV{TAMSEL_MSVC_STL})
  set(TAMSEL_MSVC_STL $ENV{TAMSEL_MSVC_STL})
else()
  get_filename_component(TAMSEL_MSVC_STL "${CMAKE_CURRENT_LIST_DIR}/../../shared/msvc-stl"
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
set(CMAKE_C_FLAGS_INIT "${includes} ${defines} -fms-compatibility -fms-extensions")
set(CMAKE_CXX_FLAGS_INIT "${includes} ${defines} ${language}")

# Import libraries for the runtime DLLs, made from Wine's own.
foreach(dll vcruntime140 ucrtbase msvcp140 kernel32 shell32)
  set(library ${TAMSEL_MSVC_WORK}/lib/${dll}.lib)
  if(EXISTS ${library})
    continue()
  endif()
  execute_process(COMMAND llvm-readobj --coff-exports ${TAMSEL_WINE_DLLS}/${dll}.dll
                  OUTPUT_VARIABLE exports RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot read the exports of ${TAMSEL_WINE_DLLS}/${dll}.dll")
  endif()
  string(REGEX MATCHALL "Name: [^\n]+" names "${exports}")
  set(definition "LIBRARY ${dll}.dll\nEXPORTS\n")
  foreach(name ${names})
    string(REPLACE "Name: " "" name "${name}")
    string(APPEND definition "${name}\n")
  endforeach()
  file(WRITE ${TAMSEL_MSVC_WORK}/lib/${dll}.def "${definition}")
  execute_process(COMMAND llvm-dlltool -m i386:x86-64 -d ${TAMSEL_MSVC_WORK}/lib/${dll}.def
                          -l ${library} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot make ${library}")
  endif()
endforeach()

# What Visual Studio links into every module: the stand-in runtime, and the parts of the
# standard library that its import library carries (filesystem.cpp, the facet registry), in
# one archive.
# Remade when one of its sources changed (targets link it anew only when they are rebuilt).
set(TAMSEL_MSVC_RUNTIME ${TAMSEL_MSVC_WORK}/lib/msvc-runtime.lib)
file(GLOB runtime_sources ${TAMSEL_MSVC_ABI_DIR}/runtime/*.cpp)
set(runtime_stale FALSE)
foreach(source ${runtime_sources} ${CMAKE_CURRENT_LIST_FILE})
  if(NOT EXISTS ${TAMSEL_MSVC_RUNTIME} OR ${source} IS_NEWER_THAN ${TAMSEL_MSVC_RUNTIME})
    set(runtime_stale TRUE)
  endif()
endforeach()
if(runtime_stale)
  set(objects "")
  foreach(source ${TAMSEL_MSVC_ABI_DIR}/runtime/Runtime.cpp
          ${TAMSEL_MSVC_ABI_DIR}/runtime/DefaultDllMain.cpp
          ${TAMSEL_MSVC_ABI_DIR}/runtime/ProgramEntry.cpp
          ${TAMSEL_MSVC_STL}/stl/src/filesystem.cpp
          ${TAMSEL_MSVC_STL}/stl/src/locale0_implib.cpp)
    get_filename_component(name ${source} NAME_WE)
    set(object ${TAMSEL_MSVC_WORK}/lib/${name}.obj)
    execute_process(
      COMMAND ${CMAKE_CXX_COMPILER} --target=${TAMSEL_MSVC_TRIPLE} ${TAMSEL_MSVC_INCLUDES}
              -isystem ${TAMSEL_MSVC_ABI_DIR}/stl-src ${TAMSEL_MSVC_DEFINES}
              ${TAMSEL_MSVC_LANGUAGE} -std=c++17 -O2 -DNOMINMAX -D_WIN32_WINNT=0x0A00
              -Wno-everything -c ${source} -o ${object}
      RESULT_VARIABLE failed ERROR_VARIABLE errors)
    if(failed)
      message(FATAL_ERROR "cannot compile ${source}:\n${errors}")
    endif()
    list(APPEND objects ${object})
  endforeach()
  execute_process(COMMAND llvm-lib /out:${TAMSEL_MSVC_RUNTIME} ${objects} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot make ${TAMSEL_MSVC_RUNTIME}")
  endif()
endif()

set(TAMSEL_MSVC_LINK_FLAGS
    "-fuse-ld=lld -nostdlib -Wl,/nodefaultlib -Wl,/libpath:${TAMSEL_MSVC_WORK}/lib -Wno-unused-command-line-argument")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${TAMSEL_MSVC_LINK_FLAGS} -Wl,/entry:mainCRTStartup")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${TAMSEL_MSVC_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${TAMSEL_MSVC_LINK_FLAGS}")
# vcruntime140 before ucrtbase: Wine's ucrtbase also exports the exception functions.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
foreach(library msvc-runtime vcruntime140 ucrtbase msvcp140 kernel32 shell32)
  string(APPEND CMAKE_CXX_STANDARD_LIBRARIES " ${TAMSEL_MSVC_WORK}/lib/${library}.lib")
endforeach()
set(CMAKE_C_STANDARD_LIBRARIES "${CMAKE_CXX_STANDARD_LIBRARIES}")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/run-under-wine.sh)

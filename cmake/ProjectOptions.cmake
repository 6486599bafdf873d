# Compiler settings shared by the project's own targets.

function(tamsel_project_options target)
  if(MSVC)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:/W4 /WX /EHa>)
  else()
    # C++ only: the Windows DLL's version resource goes through the same target.
    target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow -Werror>)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      # Unique symbols would keep the plug-in loaded after it is unloaded.
      target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-gnu-unique>)
    endif()
  endif()
endfunction()

function(tamsel_hide_symbols target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# A library that the host loader only loads: no symbol of its own is exported.
function(tamsel_export_nothing target)
  if(MSVC OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
    # The Visual C++ ABI exports only what is marked for export.
  elseif(WIN32)
    target_link_options(${target} PRIVATE -Wl,--exclude-all-symbols)
  else()
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/export-nothing.map
      -Wl,--no-undefined)
  endif()
endfunction()

# Everything a target of the plug-in's layers gets: the warnings, hidden symbols.
function(tamsel_layer_options target)
  tamsel_project_options(${target})
  tamsel_hide_symbols(${target})
endfunction()

# The plug-in's preferred load address on Windows (see plugin/CMakeLists.txt); a test library
# takes the same, to land where an unloaded plug-in was.
set(TAMSEL_IMAGE_BASE 0x6E0000000)
function(tamsel_image_base target)
  if(CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
    target_link_options(${target} PRIVATE "LINKER:/base:${TAMSEL_IMAGE_BASE}")
  else()
    target_link_options(${target} PRIVATE "LINKER:--image-base=${TAMSEL_IMAGE_BASE}")
  endif()
endfunction()

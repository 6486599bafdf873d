# Third-party libraries: spdlog (with its fmt) and nlohmann json.
#
# The host loader shares its log sink objects with the plug-in, so a build that goes beside the
# real host must use the host's own versions of these libraries. TAMSEL_HOST_HEADERS names a
# folder holding the host's spdlog/ and nlohmann/ headers (a host SDK's include folder); every
# target then uses those, header-only. Left empty, the build uses Debian's packages: the
# installed CMake packages natively, and their header folders header-only in the Windows cross
# build (only those folders are shown to the cross compiler, never the rest of /usr/include).

set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)

set(TAMSEL_HOST_HEADERS "" CACHE PATH
    "Folder with the host loader's spdlog/ and nlohmann/ headers (empty: Debian's packages)")

function(tamsel_header_only_dependencies include_dir)
  add_library(tamsel_spdlog INTERFACE)
  target_include_directories(tamsel_spdlog SYSTEM INTERFACE "${include_dir}")
  add_library(tamsel::spdlog ALIAS tamsel_spdlog)
  add_library(tamsel_json INTERFACE)
  target_include_directories(tamsel_json SYSTEM INTERFACE "${include_dir}")
  add_library(tamsel::json ALIAS tamsel_json)
endfunction()

if(TAMSEL_HOST_HEADERS)
  get_filename_component(TAMSEL_HOST_HEADERS "${TAMSEL_HOST_HEADERS}" ABSOLUTE)
  foreach(header spdlog/spdlog.h nlohmann/json.hpp)
    if(NOT EXISTS "${TAMSEL_HOST_HEADERS}/${header}")
      message(FATAL_ERROR "TAMSEL_HOST_HEADERS=${TAMSEL_HOST_HEADERS} has no ${header}")
    endif()
  endforeach()
  # spdlog 0.x brings its own fmt, header-only.
  tamsel_header_only_dependencies("${TAMSEL_HOST_HEADERS}")
  message(STATUS "spdlog and nlohmann json: the host's headers in ${TAMSEL_HOST_HEADERS}")
elseif(CMAKE_CROSSCOMPILING)
  set(header_root "${PROJECT_BINARY_DIR}/third-party-headers")
  file(MAKE_DIRECTORY "${header_root}")
  foreach(folder spdlog fmt nlohmann)
    if(NOT EXISTS "/usr/include/${folder}")
      message(FATAL_ERROR "/usr/include/${folder} is missing: run scripts/install-deps.sh")
    endif()
    file(CREATE_LINK "/usr/include/${folder}" "${header_root}/${folder}" SYMBOLIC)
  endforeach()
  tamsel_header_only_dependencies("${header_root}")
  target_compile_definitions(tamsel_spdlog INTERFACE SPDLOG_FMT_EXTERNAL FMT_HEADER_ONLY)
else()
  find_package(spdlog REQUIRED)
  find_package(nlohmann_json 3.2 REQUIRED)
  add_library(tamsel::spdlog ALIAS spdlog::spdlog)
  add_library(tamsel::json ALIAS nlohmann_json::nlohmann_json)
endif()

# Which versions this build uses, read from the headers themselves, for the archive's
# build-info.txt: an administrator must be able to tell whether it matches the host.
function(tamsel_read_define file name out)
  set(value "")
  if(EXISTS "${file}")
    file(STRINGS "${file}" lines REGEX "#define[ \t]+${name}[ \t]")
    if(lines)
      list(GET lines 0 line)
      string(REGEX REPLACE ".*#define[ \t]+${name}[ \t]+\"?([0-9.]+)\"?.*" "\\1" value "${line}")
    endif()
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# "MAJOR.MINOR.PATCH" from PREFIX_MAJOR, PREFIX_MINOR and PREFIX_PATCH in `file`; empty if absent.
function(tamsel_read_version file prefix out)
  tamsel_read_define("${file}" ${prefix}_MAJOR major)
  tamsel_read_define("${file}" ${prefix}_MINOR minor)
  tamsel_read_define("${file}" ${prefix}_PATCH patch)
  set(version "")
  if(NOT major STREQUAL "")
    set(version "${major}.${minor}.${patch}")
  endif()
  set(${out} "${version}" PARENT_SCOPE)
endfunction()

function(tamsel_library_versions include_dir spdlog_out json_out)
  tamsel_read_version("${include_dir}/spdlog/version.h" SPDLOG_VER spdlog)
  if(NOT spdlog)  # 0.x: a version text in common.h
    tamsel_read_define("${include_dir}/spdlog/common.h" SPDLOG_VERSION spdlog)
  endif()
  tamsel_read_version("${include_dir}/nlohmann/json.hpp" NLOHMANN_JSON_VERSION json)
  if(NOT json)  # split headers
    tamsel_read_version("${include_dir}/nlohmann/detail/abi_macros.hpp" NLOHMANN_JSON_VERSION json)
  endif()
  set(${spdlog_out} "${spdlog}" PARENT_SCOPE)
  set(${json_out} "${json}" PARENT_SCOPE)
endfunction()

if(TAMSEL_HOST_HEADERS)
  tamsel_library_versions("${TAMSEL_HOST_HEADERS}" TAMSEL_SPDLOG_VERSION TAMSEL_JSON_VERSION)
  set(TAMSEL_DEPENDENCY_SOURCE "the host loader's headers (TAMSEL_HOST_HEADERS)")
else()
  tamsel_library_versions("/usr/include" TAMSEL_SPDLOG_VERSION TAMSEL_JSON_VERSION)
  set(TAMSEL_DEPENDENCY_SOURCE "Debian's packages, not the host loader's versions")
endif()
message(STATUS "spdlog ${TAMSEL_SPDLOG_VERSION}, nlohmann json ${TAMSEL_JSON_VERSION}")

# The code tells the two spdlog lines apart by SPDLOG_API, which 1.x defines from 1.6 on: 1.0 to
# 1.5 would be taken for the 0.x line and fail to compile, so they are refused here.
if(TAMSEL_SPDLOG_VERSION STREQUAL "")
  message(FATAL_ERROR "Cannot tell which spdlog this is (no spdlog/version.h, no SPDLOG_VERSION "
                      "in spdlog/common.h). Supported: the 0.x line (the host loader's 0.17) "
                      "and 1.6 or later.")
elseif(TAMSEL_SPDLOG_VERSION VERSION_GREATER_EQUAL 1.0 AND TAMSEL_SPDLOG_VERSION VERSION_LESS 1.6)
  message(FATAL_ERROR "spdlog ${TAMSEL_SPDLOG_VERSION} is not supported. Supported: the 0.x line "
                      "(the host loader's 0.17) and 1.6 or later.")
endif()

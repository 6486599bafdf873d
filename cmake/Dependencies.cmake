# Third-party libraries, all from Debian packages.
#
# Native builds use the installed CMake packages. The Windows cross build uses spdlog, fmt and
# nlohmann json header-only; only their header folders are shown to the cross compiler, never
# the rest of the Linux system include directory.

set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)

if(CMAKE_CROSSCOMPILING)
  set(TAMSEL_HEADER_ONLY_ROOT "${PROJECT_BINARY_DIR}/third-party-headers")
  file(MAKE_DIRECTORY "${TAMSEL_HEADER_ONLY_ROOT}")
  foreach(folder spdlog fmt nlohmann)
    if(NOT EXISTS "/usr/include/${folder}")
      message(FATAL_ERROR "/usr/include/${folder} is missing: run scripts/install-deps.sh")
    endif()
    file(CREATE_LINK "/usr/include/${folder}" "${TAMSEL_HEADER_ONLY_ROOT}/${folder}" SYMBOLIC)
  endforeach()

  add_library(tamsel_spdlog INTERFACE)
  target_include_directories(tamsel_spdlog SYSTEM INTERFACE "${TAMSEL_HEADER_ONLY_ROOT}")
  target_compile_definitions(tamsel_spdlog INTERFACE SPDLOG_FMT_EXTERNAL FMT_HEADER_ONLY)
  add_library(tamsel::spdlog ALIAS tamsel_spdlog)

  add_library(tamsel_json INTERFACE)
  target_include_directories(tamsel_json SYSTEM INTERFACE "${TAMSEL_HEADER_ONLY_ROOT}")
  add_library(tamsel::json ALIAS tamsel_json)
else()
  find_package(spdlog REQUIRED)
  find_package(nlohmann_json 3.2 REQUIRED)
  add_library(tamsel::spdlog ALIAS spdlog::spdlog)
  add_library(tamsel::json ALIAS nlohmann_json::nlohmann_json)
endif()

# nlohmann/json, the header-only JSON library of Debian's nlohmann-json3-dev,
# as the target nlohmann_json::nlohmann_json.
#
# A native build takes the package's own CMake configuration. A cross build
# cannot: its search is confined to the target's root, and /usr/include as a
# whole must not join its include path (glibc's headers would shadow the
# target's). It gets a directory of its own holding only a link to the
# library's headers. Elsewhere, -DVELKOR_NLOHMANN_JSON_DIR=<folder holding
# nlohmann/json.hpp> names a copy of the headers.
find_package(nlohmann_json 3.9 QUIET)
if(NOT nlohmann_json_FOUND)
  find_path(VELKOR_NLOHMANN_JSON_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
            NO_DEFAULT_PATH)
  if(NOT VELKOR_NLOHMANN_JSON_DIR)
    message(FATAL_ERROR "nlohmann/json.hpp not found: install Debian's nlohmann-json3-dev, "
                        "or set VELKOR_NLOHMANN_JSON_DIR to the folder that holds nlohmann/")
  endif()
  set(includeDir ${VELKOR_NLOHMANN_JSON_DIR})
  if(CMAKE_CROSSCOMPILING)
    set(includeDir ${CMAKE_BINARY_DIR}/nlohmann-json-include)
    file(MAKE_DIRECTORY ${includeDir})
    file(CREATE_LINK ${VELKOR_NLOHMANN_JSON_DIR}/nlohmann ${includeDir}/nlohmann SYMBOLIC)
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${includeDir})
endif()

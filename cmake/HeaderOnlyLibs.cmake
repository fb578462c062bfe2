# fmt and nlohmann/json for a cross build: Debian's copies of their headers,
# used header-only. Only those two folders are staged into the build tree, so
# the cross compiler never sees the host's other headers (or its libraries).
set(QUARRION_HOST_HEADERS ${CMAKE_BINARY_DIR}/host_headers)
file(MAKE_DIRECTORY ${QUARRION_HOST_HEADERS})
foreach(folder fmt nlohmann)
  if(NOT IS_DIRECTORY /usr/include/${folder})
    message(FATAL_ERROR "/usr/include/${folder} missing (scripts/install-deps.sh installs it)")
  endif()
  file(CREATE_LINK /usr/include/${folder} ${QUARRION_HOST_HEADERS}/${folder} SYMBOLIC)
endforeach()

add_library(quarrion_fmt_headers INTERFACE)
target_include_directories(quarrion_fmt_headers SYSTEM INTERFACE ${QUARRION_HOST_HEADERS})
target_compile_definitions(quarrion_fmt_headers INTERFACE FMT_HEADER_ONLY=1)
add_library(fmt::fmt ALIAS quarrion_fmt_headers)

add_library(quarrion_json_headers INTERFACE)
target_include_directories(quarrion_json_headers SYSTEM INTERFACE ${QUARRION_HOST_HEADERS})
add_library(nlohmann_json::nlohmann_json ALIAS quarrion_json_headers)

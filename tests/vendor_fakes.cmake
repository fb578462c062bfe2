# Stand-ins for vendor libraries that cannot exist on this machine, built as
# real shared libraries the code under test loads at run time.
add_library(fake_nvapi MODULE ${CMAKE_CURRENT_SOURCE_DIR}/common/nvperfs/fake_nvapi/fake_nvapi.cpp)
target_include_directories(fake_nvapi PRIVATE ${CMAKE_SOURCE_DIR}/src)
# The same library without its entry point.
add_library(fake_nvapi_noquery MODULE ${CMAKE_CURRENT_SOURCE_DIR}/common/nvperfs/fake_nvapi/fake_nvapi.cpp)
target_include_directories(fake_nvapi_noquery PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(fake_nvapi_noquery PRIVATE FAKE_NVAPI_WITHOUT_QUERY)
add_library(fake_tavik MODULE ${CMAKE_CURRENT_SOURCE_DIR}/common/tavik_wune/fake_tavik/fake_tavik.cpp)
if(TARGET test_common_nvperfs)
  add_dependencies(test_common_nvperfs fake_nvapi fake_nvapi_noquery)
  target_compile_definitions(test_common_nvperfs PRIVATE
    FAKE_NVAPI_PATH="$<TARGET_FILE:fake_nvapi>"
    FAKE_NVAPI_NOQUERY_PATH="$<TARGET_FILE:fake_nvapi_noquery>")
endif()
if(TARGET test_common_tavik_wune)
  add_dependencies(test_common_tavik_wune fake_tavik fake_nvapi tavik)
  target_compile_definitions(test_common_tavik_wune PRIVATE
    FAKE_NVAPI_PATH_FOR_TAVIK="${QUARRION_TEST_DRIVE}$<TARGET_FILE:fake_nvapi>"
    FAKE_TAVIK_PATH="${QUARRION_TEST_DRIVE}$<TARGET_FILE:fake_tavik>"
    TAVIK_PATH="${QUARRION_TEST_DRIVE}$<TARGET_FILE:tavik>")
endif()

# The platform tests start a real child program; it lands beside the tests.
add_executable(platform_test_child ${CMAKE_CURRENT_SOURCE_DIR}/platform/child/main.cpp)
target_link_libraries(platform_test_child PRIVATE platform)
if(TARGET test_platform)
  add_dependencies(test_platform platform_test_child)
  target_compile_definitions(test_platform PRIVATE
    PLATFORM_TEST_CHILD="$<TARGET_FILE:platform_test_child>")
endif()
include(${CMAKE_CURRENT_SOURCE_DIR}/vendor_fakes.cmake)

# The platform tests start a real child program; it lands beside the tests.
add_executable(platform_test_child ${CMAKE_CURRENT_SOURCE_DIR}/platform/child/main.cpp)
target_link_libraries(platform_test_child PRIVATE platform)
if(TARGET test_platform)
  add_dependencies(test_platform platform_test_child)
  target_compile_definitions(test_platform PRIVATE
    PLATFORM_TEST_CHILD="${QUARRION_TEST_DRIVE}$<TARGET_FILE:platform_test_child>")
  # The socket option suite makes real loopback connections.
  if(WIN32)
    target_link_libraries(test_platform PRIVATE ws2_32)
  endif()
endif()
include(${CMAKE_CURRENT_SOURCE_DIR}/vendor_fakes.cmake)
# The rest serves suites above the lower layers.
if(NOT TARGET core)
  return()
endif()

# Tests that talk to the configuration service stand-in start the built program.
if(TARGET test_qtbaseex_http AND TARGET quarrion_config_service)
  add_dependencies(test_qtbaseex_http quarrion_config_service)
endif()
if(TARGET test_tools_config_service AND TARGET config_service_core)
  target_link_libraries(test_tools_config_service PRIVATE config_service_core)
endif()
# The helper's start-up in a program that crashes on request, beside the
# helper so it finds the crash agent there. Tests only.
add_executable(crash_trigger ${CMAKE_CURRENT_SOURCE_DIR}/update/src/boot/crash_trigger/main.cpp)
set_target_properties(crash_trigger PROPERTIES OUTPUT_NAME "QuarrionUpdateCrashTrigger.exe" SUFFIX "")
target_link_libraries(crash_trigger PRIVATE core)
add_dependencies(crash_trigger vexil_agent crashpad_handler)
if(TARGET test_update_src_boot)
  add_dependencies(test_update_src_boot crash_trigger quarrion_standin)
endif()
# The configuration refresh runs the helper against the service stand-in.
if(TARGET test_update_src_config_refresh AND TARGET quarrion_config_service)
  add_dependencies(test_update_src_config_refresh quarrion_config_service)
endif()

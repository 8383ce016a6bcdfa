# The device list rules, and the D2XX loader over a test double of the
# vendor library (loaded with dlopen from the build tree).
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/d2xx_double)

add_executable(usb_core_tests
  ${CMAKE_CURRENT_LIST_DIR}/device_list_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/d2xx_library_test.cpp)
target_link_libraries(usb_core_tests PRIVATE quorvel_usb_core GTest::gtest_main)
target_compile_definitions(usb_core_tests PRIVATE
  D2XX_DOUBLE_PATH="$<TARGET_FILE:d2xx_double>"
  D2XX_DOUBLE_NO_CREATEFILE_PATH="$<TARGET_FILE:d2xx_double_no_createfile>")
add_dependencies(usb_core_tests d2xx_double d2xx_double_no_createfile)
gtest_discover_tests(usb_core_tests
  TEST_PREFIX "UsbCore."
  DISCOVERY_TIMEOUT 30
  PROPERTIES TIMEOUT 60)

# The USB link component over the D2XX test double; two components talk
# through the session bus (the test command runs the suite in a private one).
add_executable(usb_component_tests
  ${CMAKE_CURRENT_LIST_DIR}/ftdi_usb_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/serial/serial_test_main.cpp)
target_include_directories(usb_component_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/serial)
target_link_libraries(usb_component_tests PRIVATE quorvel_usb quorvel_test_support GTest::gtest util)
target_compile_definitions(usb_component_tests PRIVATE
  SERIAL_PEER_PATH="$<TARGET_FILE:serial_peer>"
  D2XX_DOUBLE_PATH="$<TARGET_FILE:d2xx_double>"
  D2XX_DOUBLE_NO_CREATEFILE_PATH="$<TARGET_FILE:d2xx_double_no_createfile>")
add_dependencies(usb_component_tests d2xx_double d2xx_double_no_createfile)
set(usb_component_env "")
if(QUORVEL_TSAN)
  set(usb_component_env "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/serial/tsan.supp halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1")
endif()
quorvel_private_session_bus(usb_component_tests)
gtest_discover_tests(usb_component_tests
  TEST_PREFIX "UsbLink."
  DISCOVERY_TIMEOUT 30
  PROPERTIES ENVIRONMENT "${usb_component_env}" TIMEOUT 120)

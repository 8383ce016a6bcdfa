# The built-in D2XX provider under umockdev: a test bed of FTDI converters
# (sysfs, udev properties, /dev nodes backed by pseudo-terminals, uevents)
# that the test program sees through libumockdev-preload.so. Without
# umockdev the tests are not built.
if(NOT TARGET quorvel_usb_builtin OR NOT TARGET quorvel-sim)
  return()
endif()
pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0)
find_library(UMOCKDEV_PRELOAD NAMES libumockdev-preload.so.0 libumockdev-preload.so)
if(NOT TARGET PkgConfig::UMOCKDEV OR NOT UMOCKDEV_PRELOAD)
  message(STATUS "umockdev not found: the built-in USB provider's tests are not built")
  return()
endif()

# The preload library goes into every test process (and the simulator it
# starts). A sanitizer's runtime wants to come first among the libraries: it
# is preloaded before umockdev's.
set(usb_preload "${UMOCKDEV_PRELOAD}")
set(usb_sanitizer_runtime "")
if(QUORVEL_SANITIZE)
  set(usb_sanitizer_runtime libasan.so)
elseif(QUORVEL_TSAN)
  set(usb_sanitizer_runtime libtsan.so)
endif()
if(usb_sanitizer_runtime)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${usb_sanitizer_runtime}
                  OUTPUT_VARIABLE usb_runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(usb_preload "${usb_runtime_path}:${UMOCKDEV_PRELOAD}")
endif()
set(usb_umockdev_env "LD_PRELOAD=${usb_preload}")

add_executable(usb_builtin_tests builtin_provider_test.cpp umockdev_bed.h)
target_link_libraries(usb_builtin_tests PRIVATE quorvel_usb_builtin PkgConfig::UMOCKDEV
                                                GTest::gtest)
target_include_directories(usb_builtin_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(usb_builtin_tests PRIVATE QUORVEL_SIM="$<TARGET_FILE:quorvel-sim>")
add_dependencies(usb_builtin_tests quorvel-sim)
gtest_discover_tests(usb_builtin_tests
  TEST_PREFIX "UsbBuiltIn."
  DISCOVERY_TIMEOUT 30
  PROPERTIES ENVIRONMENT "${usb_umockdev_env}" TIMEOUT 60)

# The serial link's port list (PortListService) following converters that
# the bed adds and removes.
add_executable(usb_port_hotplug_tests port_hotplug_test.cpp umockdev_bed.h)
target_link_libraries(usb_port_hotplug_tests PRIVATE quorvel_links PkgConfig::UMOCKDEV GTest::gtest)
target_include_directories(usb_port_hotplug_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
gtest_discover_tests(usb_port_hotplug_tests
  TEST_PREFIX "UsbHotplug."
  DISCOVERY_TIMEOUT 30
  PROPERTIES ENVIRONMENT "${usb_umockdev_env}" TIMEOUT 60)

# Whole runs through the built-in provider: RunSession in the test process
# and quorvel-cli as its child, both on the bed's converter, quorvel-sim on
# the far side. The child inherits the bed (UMOCKDEV_DIR) and the preload.
if(TARGET quorvel_session AND TARGET quorvel-cli)
  add_executable(usb_umockdev_program_tests umockdev_program_test.cpp umockdev_bed.h)
  target_link_libraries(usb_umockdev_program_tests PRIVATE quorvel_session quorvel_usb
                        quorvel_test_process PkgConfig::UMOCKDEV GTest::gtest)
  target_include_directories(usb_umockdev_program_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(usb_umockdev_program_tests PRIVATE
    QUORVEL_SIM="$<TARGET_FILE:quorvel-sim>" QUORVEL_CLI="$<TARGET_FILE:quorvel-cli>"
    QUORVEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_dependencies(usb_umockdev_program_tests quorvel-sim quorvel-cli)
  quorvel_private_session_bus(usb_umockdev_program_tests)
  gtest_discover_tests(usb_umockdev_program_tests
    TEST_PREFIX "UsbUmockdev."
    DISCOVERY_TIMEOUT 30
    PROPERTIES ENVIRONMENT "${usb_umockdev_env}" TIMEOUT 180)
endif()

# The USB link component following converters plugged in and pulled out.
if(TARGET quorvel_usb)
  add_executable(usb_umockdev_hotplug_tests umockdev_usb_hotplug_test.cpp umockdev_bed.h)
  target_link_libraries(usb_umockdev_hotplug_tests PRIVATE quorvel_usb PkgConfig::UMOCKDEV
                                                           GTest::gtest)
  target_include_directories(usb_umockdev_hotplug_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  quorvel_private_session_bus(usb_umockdev_hotplug_tests)
  gtest_discover_tests(usb_umockdev_hotplug_tests
    TEST_PREFIX "UsbUmockdev."
    DISCOVERY_TIMEOUT 30
    PROPERTIES ENVIRONMENT "${usb_umockdev_env}" TIMEOUT 120)
endif()

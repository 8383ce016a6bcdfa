# The built-in D2XX provider over the kernel's ftdi_sio terminals: the FTDI
# terminals from libudev and the D2XX functions on top of them. Qt-free
# itself; the serial port functions it uses are built into quorvel_links for
# now. Without libudev it lists no converter.
if(NOT TARGET quorvel_links)
  return()
endif()
add_library(quorvel_usb_builtin STATIC
  ${CMAKE_CURRENT_LIST_DIR}/builtin_provider.cpp
  ${CMAKE_CURRENT_LIST_DIR}/builtin_provider.h
  ${CMAKE_CURRENT_LIST_DIR}/udev_ftdi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/udev_ftdi.h)
target_include_directories(quorvel_usb_builtin PUBLIC ${QUORVEL_SRC})
target_link_libraries(quorvel_usb_builtin PUBLIC quorvel_core quorvel_links)
if(TARGET PkgConfig::UDEV)
  target_link_libraries(quorvel_usb_builtin PRIVATE PkgConfig::UDEV)
  target_compile_definitions(quorvel_usb_builtin PRIVATE QUORVEL_HAVE_UDEV=1)
else()
  target_compile_definitions(quorvel_usb_builtin PRIVATE QUORVEL_HAVE_UDEV=0)
endif()

# The USB link component (Qt Core, Qt D-Bus): TFtdiUSB on the link base,
# its D2XX transport and what the instances share.
if(NOT TARGET quorvel_links)
  return()
endif()
add_library(quorvel_usb STATIC
  ${CMAKE_CURRENT_LIST_DIR}/d2xx_transport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/d2xx_transport.h
  ${CMAKE_CURRENT_LIST_DIR}/ftdi_usb.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ftdi_usb.h
  ${CMAKE_CURRENT_LIST_DIR}/usb_instances.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb_instances.h)
set_target_properties(quorvel_usb PROPERTIES AUTOMOC ON)
target_include_directories(quorvel_usb PUBLIC ${QUORVEL_SRC})
target_link_libraries(quorvel_usb PUBLIC quorvel_links quorvel_usb_core quorvel_usb_builtin
                                         Qt6::Core Qt6::DBus)

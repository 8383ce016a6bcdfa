# Qt-free part of the USB link: the D2XX library loader and the device list.
add_library(quorvel_usb_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/d2xx_library.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_list.cpp)
target_include_directories(quorvel_usb_core PUBLIC ${QUORVEL_SRC})
target_link_libraries(quorvel_usb_core PUBLIC quorvel_core ${CMAKE_DL_LIBS})

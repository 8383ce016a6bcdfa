# The links layer: the link base with its threads (src/link), and the serial
# subsystem on it: the TComm32Kx component, its termios transport, the port
# list with hot-plug, and the hand-over between instances.
# Not part of a build without Qt (the fuzzing build).
if(NOT TARGET Qt6::Core OR NOT TARGET Qt6::DBus)
  return()
endif()
add_library(quorvel_links STATIC
  ${QUORVEL_SRC}/link/byte_transport.h
  ${QUORVEL_SRC}/link/link_base.cpp
  ${QUORVEL_SRC}/link/link_base.h
  ${QUORVEL_SRC}/link/port_message_window.cpp
  ${QUORVEL_SRC}/link/read_thread.cpp
  ${QUORVEL_SRC}/link/write_thread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32kx.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32kx.h
  ${CMAKE_CURRENT_LIST_DIR}/port_handover.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_handover.h
  ${CMAKE_CURRENT_LIST_DIR}/port_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_list_service.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_list_service.h
  ${CMAKE_CURRENT_LIST_DIR}/port_watcher.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_watcher.h
  ${CMAKE_CURRENT_LIST_DIR}/serial_port_io.cpp
  ${CMAKE_CURRENT_LIST_DIR}/termios_transport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/termios_transport.h)
set_target_properties(quorvel_links PROPERTIES AUTOMOC ON)
target_include_directories(quorvel_links PUBLIC ${QUORVEL_SRC})
find_package(Threads REQUIRED)
target_link_libraries(quorvel_links PUBLIC quorvel_core Qt6::Core Qt6::DBus Threads::Threads)
if(TARGET PkgConfig::UDEV)
  target_link_libraries(quorvel_links PUBLIC PkgConfig::UDEV)
  target_compile_definitions(quorvel_links PRIVATE QUORVEL_HAVE_UDEV=1)
else()
  target_compile_definitions(quorvel_links PRIVATE QUORVEL_HAVE_UDEV=0)
endif()

# The programming engine: log texts, run log, progress values, the engine
# and its reply handling.
add_library(core_engine OBJECT
  ${CMAKE_CURRENT_LIST_DIR}/log_texts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/progress_values.cpp
  ${CMAKE_CURRENT_LIST_DIR}/echo_filter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reply_handling.cpp)
target_include_directories(core_engine PUBLIC ${QUORVEL_SRC})
target_link_libraries(quorvel_core PUBLIC core_engine)

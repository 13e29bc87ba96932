add_library(mirvo_records STATIC
  ${CMAKE_CURRENT_LIST_DIR}/csvu.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kivp_list.cpp)
target_include_directories(mirvo_records PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(mirvo_records PUBLIC mirvo_text)

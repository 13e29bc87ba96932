add_library(mirvo_frames STATIC kivp_header.cpp kivp_debug.cpp)
target_include_directories(mirvo_frames PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(mirvo_frames PUBLIC mirvo_crc mirvo_text mirvo_core)

add_library(mirvo_protocol STATIC kivp_main.cpp)
target_link_libraries(mirvo_protocol PUBLIC mirvo_frames mirvo_serial mirvo_core mirvo_text)

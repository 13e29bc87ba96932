add_library(mirvo_frames STATIC kivp_header.cpp kivp_debug.cpp)
target_include_directories(mirvo_frames PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(mirvo_frames PUBLIC mirvo_crc mirvo_text mirvo_core)

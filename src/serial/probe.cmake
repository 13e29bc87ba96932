add_library(mirvo_probe STATIC probe.cpp)
target_link_libraries(mirvo_probe PUBLIC mirvo_serial mirvo_records mirvo_core)

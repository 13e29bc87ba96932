mirvo_add_gtest(test_frames SOURCES frames_test.cpp trace_test.cpp LIBS mirvo_frames mirvo_test_support)

mirvo_add_gtest(test_records SOURCES ${CMAKE_CURRENT_LIST_DIR}/records_test.cpp LIBS mirvo_records)

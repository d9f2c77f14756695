tovanmuxer_add_test(NAME test_h264 SOURCES test_h264.cpp)

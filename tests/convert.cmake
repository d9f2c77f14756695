tovanmuxer_add_test(NAME test_convert SOURCES test_convert.cpp TIMEOUT 600)
tovanmuxer_add_test(NAME test_mp4layer SOURCES test_mp4layer.cpp)
tovanmuxer_add_test(NAME test_timing SOURCES test_timing.cpp)

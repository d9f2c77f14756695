# The H.264 syntax library: bit reader, parameter sets, slice headers, picture order, SEI.
tovanmuxer_add_test(NAME test_h264 SOURCES test_h264.cpp LIBS tovanmuxer_h264)

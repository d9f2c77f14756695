# The H.265 syntax library: NAL unit headers, parameter sets, slice segment headers, picture order.
tovanmuxer_add_test(NAME test_h265 SOURCES test_h265.cpp LIBS tovanmuxer_h265)

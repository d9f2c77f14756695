# The camera and DVR file readers and the recording date.
tovanmuxer_add_test(NAME test_demux SOURCES test_demux.cpp LIBS tovanmuxer_demux)

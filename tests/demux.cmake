# The camera and DVR file readers, their files' conversion, and the recording date.
tovanmuxer_add_test(NAME test_demux SOURCES test_demux.cpp LIBS tovanmuxer_demux)
target_compile_definitions(test_demux PRIVATE TOVANMUXER_CLI="$<TARGET_FILE:tovanmuxer-cli>")
add_dependencies(test_demux tovanmuxer-cli)

tovanmuxer_add_test(NAME test_convert SOURCES test_convert.cpp TIMEOUT 600)
tovanmuxer_add_test(NAME test_mp4layer SOURCES test_mp4layer.cpp)
tovanmuxer_add_test(NAME test_timing SOURCES test_timing.cpp)
# Recordings run at about real-time speed, one of them through a stall of 10 s.
tovanmuxer_add_test(NAME test_cli SOURCES test_cli.cpp TIMEOUT 600)
target_compile_definitions(test_cli PRIVATE TOVANMUXER_CLI="$<TARGET_FILE:tovanmuxer-cli>")
add_dependencies(test_cli tovanmuxer-cli)
# The product links QtCore and the C library: FFmpeg's libraries are the tests' readers only.
add_test(NAME cli_links_no_ffmpeg
         COMMAND sh -c "! ldd \"$0\" | grep -E 'libav(format|codec|util)'"
                 $<TARGET_FILE:tovanmuxer-cli>)

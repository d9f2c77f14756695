tovanmuxer_add_test(NAME test_convert SOURCES test_convert.cpp TIMEOUT 600)
tovanmuxer_add_test(NAME test_mp4layer SOURCES test_mp4layer.cpp)
tovanmuxer_add_test(NAME test_timing SOURCES test_timing.cpp)
tovanmuxer_add_test(NAME test_cli SOURCES test_cli.cpp)
target_compile_definitions(test_cli PRIVATE TOVANMUXER_CLI="$<TARGET_FILE:tovanmuxer-cli>"
    TOVANMUXER_SOUND_DIR="${TOVANMUXER_SOUND_DIR}"
    TOVANMUXER_GST_SOUND="${CMAKE_CURRENT_SOURCE_DIR}/support/gst_sound.py")
# The sound files are made at test time (audio.cmake).
set_tests_properties(test_cli PROPERTIES FIXTURES_REQUIRED sound)
add_dependencies(test_cli tovanmuxer-cli)
# The product links QtCore and the C library: FFmpeg's libraries are the tests' readers only.
add_test(NAME cli_links_no_ffmpeg
         COMMAND sh -c "! ldd \"$0\" | grep -E 'libav(format|codec|util)'"
                 $<TARGET_FILE:tovanmuxer-cli>)

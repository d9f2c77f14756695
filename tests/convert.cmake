tovanmuxer_add_test(NAME test_convert SOURCES test_convert.cpp TIMEOUT 600)
tovanmuxer_add_test(NAME test_mp4layer SOURCES test_mp4layer.cpp)
if(TOVANMUXER_SANITIZE)
    target_compile_definitions(test_mp4layer PRIVATE TOVANMUXER_SANITIZED=1)
endif()
tovanmuxer_add_test(NAME test_timing SOURCES test_timing.cpp)
# Recordings run at about real-time speed, one of them through a stall of 10 s.
tovanmuxer_add_test(NAME test_cli SOURCES test_cli.cpp TIMEOUT 600)
target_compile_definitions(test_cli PRIVATE TOVANMUXER_CLI="$<TARGET_FILE:tovanmuxer-cli>"
    TOVANMUXER_SOUND_DIR="${TOVANMUXER_SOUND_DIR}"
    TOVANMUXER_GST_SOUND="${CMAKE_CURRENT_SOURCE_DIR}/support/gst_sound.py")
# The sound files are made at test time (audio.cmake).
set_tests_properties(test_cli PROPERTIES FIXTURES_REQUIRED sound)
add_dependencies(test_cli tovanmuxer-cli)
# The product links QtCore and the C library: FFmpeg's libraries are the tests' readers only.
# The ELF's own NEEDED entries, read by the target's binutils, so that a cross build is checked too.
add_test(NAME cli_links_no_ffmpeg
         COMMAND sh -c "n=$(\"$1\" -d \"$0\" | grep '(NEEDED)') && echo \"$n\" &&
                        echo \"$n\" | grep -q 'libQt6Core' &&
                        ! echo \"$n\" | grep -E 'libav(format|codec|util)'"
                 $<TARGET_FILE:tovanmuxer-cli> ${CMAKE_READELF})

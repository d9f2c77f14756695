tovanmuxer_add_test(NAME test_convert SOURCES test_convert.cpp TIMEOUT 600)
tovanmuxer_add_test(NAME test_mp4layer SOURCES test_mp4layer.cpp)
tovanmuxer_add_test(NAME test_timing SOURCES test_timing.cpp)
tovanmuxer_add_test(NAME test_cli SOURCES test_cli.cpp)
target_compile_definitions(test_cli PRIVATE TOVANMUXER_CLI="$<TARGET_FILE:tovanmuxer-cli>")
add_dependencies(test_cli tovanmuxer-cli)
# The product links QtCore and the C library: FFmpeg's libraries are the tests' readers only.
# The ELF's own NEEDED entries, read by the target's binutils, so that a cross build is checked too.
add_test(NAME cli_links_no_ffmpeg
         COMMAND sh -c "n=$(\"$1\" -d \"$0\" | grep '(NEEDED)') && echo \"$n\" &&
                        echo \"$n\" | grep -q 'libQt6Core' &&
                        ! echo \"$n\" | grep -E 'libav(format|codec|util)'"
                 $<TARGET_FILE:tovanmuxer-cli> ${CMAKE_READELF})

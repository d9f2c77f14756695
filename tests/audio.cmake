# The sound readers. The sound files are made at test time by tests/data/make_sound.sh (espeak-ng,
# sox, ffmpeg) into the build tree; tests that need them require the fixture "sound".
set(TOVANMUXER_SOUND_DIR "${CMAKE_CURRENT_BINARY_DIR}/sound")
add_test(NAME make_sound COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/data/make_sound.sh
                                 ${TOVANMUXER_SOUND_DIR})
set_tests_properties(make_sound PROPERTIES FIXTURES_SETUP sound TIMEOUT 120)

tovanmuxer_add_test(NAME test_audio SOURCES test_audio.cpp LIBS tovanmuxer_audio)
target_compile_definitions(test_audio PRIVATE TOVANMUXER_SOUND_DIR="${TOVANMUXER_SOUND_DIR}")
set_tests_properties(test_audio PROPERTIES FIXTURES_REQUIRED sound)

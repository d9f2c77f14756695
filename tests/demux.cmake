# The camera and DVR file readers, their files' conversion, and the recording date.
tovanmuxer_add_test(NAME test_demux SOURCES test_demux.cpp LIBS tovanmuxer_demux)
target_compile_definitions(test_demux PRIVATE TOVANMUXER_CLI="$<TARGET_FILE:tovanmuxer-cli>")
add_dependencies(test_demux tovanmuxer-cli)

# A DHAV file from a stream and A-law, for the browser checks by hand (tests/browser/).
add_executable(make_camerafile browser/make_camerafile.cpp)
target_include_directories(make_camerafile PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(make_camerafile PRIVATE tovanmuxer_demux)

# The window's suite; the program's resource bundle is compiled in to check the embedded icon.
tovanmuxer_add_test(NAME test_window SOURCES test_window.cpp ${PROJECT_SOURCE_DIR}/app/app.qrc
                    LIBS tovanmuxer_ui GUI TIMEOUT 300)
if(TOVANMUXER_SANITIZE)
    target_compile_definitions(test_window PRIVATE TOVANMUXER_SANITIZED=1)
endif()
target_compile_definitions(test_window PRIVATE TOVANMUXER_SOUND_DIR="${TOVANMUXER_SOUND_DIR}")
set_tests_properties(test_window PROPERTIES FIXTURES_REQUIRED sound)
# The desktop entry and the MIME package, installed into a temporary prefix.
add_test(NAME desktop_entry COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/desktop_entry.sh
                                    ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
set_tests_properties(desktop_entry PROPERTIES TIMEOUT 120)
# The window driven through AT-SPI, on a virtual display and a session bus of its own.
add_test(NAME atspi_window COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/atspi_window.sh
                                   $<TARGET_FILE:tovanmuxer> ${TOVANMUXER_TEST_DATA})
set_tests_properties(atspi_window PROPERTIES TIMEOUT 120)

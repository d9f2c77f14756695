# The window's suite; the program's resource bundle is compiled in to check the embedded icon.
tovanmuxer_add_test(NAME test_window SOURCES test_window.cpp ${PROJECT_SOURCE_DIR}/app/app.qrc
                    LIBS tovanmuxer_ui GUI TIMEOUT 300)
if(TOVANMUXER_SANITIZE)
    target_compile_definitions(test_window PRIVATE TOVANMUXER_SANITIZED=1)
endif()

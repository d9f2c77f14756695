tovanmuxer_add_test(NAME test_window SOURCES test_window.cpp LIBS tovanmuxer_ui GUI TIMEOUT 300)

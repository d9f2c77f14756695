tovanmuxer_add_test(NAME test_scanner SOURCES test_scanner.cpp)

# Hostile input: bad files and paths, a stream over 4 GiB, and the converter's peak memory.
tovanmuxer_add_test(NAME test_robust SOURCES test_robust.cpp TIMEOUT 900)
target_compile_definitions(test_robust PRIVATE
    TOVANMUXER_CLI="$<TARGET_FILE:tovanmuxer-cli>"
    TOVANMUXER_REGRESS="${CMAKE_CURRENT_SOURCE_DIR}/regress")
add_dependencies(test_robust tovanmuxer-cli)

# 5 GB through the converter: once, in the optimized build (under a minute on a busy machine).
# Under the sanitizers it took two minutes on a quiet machine and over five on a busy one, for
# the same 64-bit offsets and sizes that the optimized run checks.
if(NOT TOVANMUXER_SANITIZE AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    tovanmuxer_add_test(NAME test_bigfile SOURCES test_bigfile.cpp TIMEOUT 2400)
    target_compile_definitions(test_bigfile PRIVATE
        TOVANMUXER_CLI="$<TARGET_FILE:tovanmuxer-cli>")
    add_dependencies(test_bigfile tovanmuxer-cli)
endif()

tovanmuxer_add_test(NAME test_memory SOURCES test_memory.cpp TIMEOUT 900)
target_compile_definitions(test_memory PRIVATE TOVANMUXER_CLI="$<TARGET_FILE:tovanmuxer-cli>")
if(TOVANMUXER_SANITIZE)
    target_compile_definitions(test_memory PRIVATE TOVANMUXER_SANITIZED=1)
endif()
add_dependencies(test_memory tovanmuxer-cli)

# What a conversion does to the files around it when things go wrong on purpose.
tovanmuxer_add_test(NAME test_safety SOURCES test_safety.cpp TIMEOUT 300)
target_compile_definitions(test_safety PRIVATE TOVANMUXER_CLI="$<TARGET_FILE:tovanmuxer-cli>")
if(TOVANMUXER_SANITIZE)
    target_compile_definitions(test_safety PRIVATE TOVANMUXER_SANITIZED=1)
endif()
add_dependencies(test_safety tovanmuxer-cli)

# Tests of a cross build run on the build machine through CMAKE_CROSSCOMPILING_EMULATOR
# (qemu-user, cmake/aarch64-linux-gnu.cmake). CTest starts the test programs through it; what the
# tests start themselves needs the same:
# - the command-line converter they run is a wrapper that starts the target's build through the
#   emulator (no binfmt_misc registration is assumed);
# - the test programs get a preloaded library that lets QProcess start children under the
#   emulator (tests/support/emulated_fork.c);
# - each time limit is multiplied by TOVANMUXER_EMULATED_TIME_SCALE;
# - TOVANMUXER_EMULATED is defined for the test programs: the tests that measure the process
#   itself (its peak memory, its behaviour under RLIMIT_AS) would measure the emulator, and skip;
# - TOVANMUXER_EMULATOR, the emulator's path, is defined for the test programs and set in the
#   tests' environment, for a test that starts a program of the build itself (test_window starts
#   itself, atspi_window.sh the window).
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    set(tovanmuxer_emulated_default ON)
else()
    set(tovanmuxer_emulated_default OFF)
endif()
option(TOVANMUXER_EMULATED "The tests run under a user-mode emulator" ${tovanmuxer_emulated_default})
set(TOVANMUXER_EMULATED_TIME_SCALE 4 CACHE STRING "Factor for the time limits under emulation")
# Tests not run under emulation (built all the same), for these reasons:
# - test_convert decodes each stream's MP4, written every way the converter can, through
#   libavcodec and GStreamer: some eight minutes under the emulator. The arm64 job compares the
#   arm64 CLI's output for every stream in every mode byte for byte with the amd64 build's,
#   which test_convert decodes.
# - test_bigfile writes 5 GB through the converter for its 64-bit offsets and sizes, the same
#   arithmetic on both 64-bit targets; under the emulator it would take most of the job's time.
set(TOVANMUXER_EMULATED_SKIP test_convert test_bigfile CACHE STRING
    "Tests left out under emulation (tests/emulated.cmake gives the reasons)")
if(NOT TOVANMUXER_EMULATED)
    return()
endif()
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(FATAL_ERROR "TOVANMUXER_EMULATED needs CMAKE_CROSSCOMPILING_EMULATOR")
endif()
if(CMAKE_VERSION VERSION_LESS 3.20)  # file(GENERATE ... FILE_PERMISSIONS), cmake_language(DEFER)
    message(FATAL_ERROR "Tests under an emulator need CMake 3.20 or later")
endif()

list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 tovanmuxer_emulator_name)
find_program(TOVANMUXER_EMULATOR_PATH ${tovanmuxer_emulator_name} REQUIRED)
set(tovanmuxer_emulator_args ${CMAKE_CROSSCOMPILING_EMULATOR})
list(REMOVE_AT tovanmuxer_emulator_args 0)
list(JOIN tovanmuxer_emulator_args " " tovanmuxer_emulator_args)
set(TOVANMUXER_CLI_EMULATED "${CMAKE_CURRENT_BINARY_DIR}/tovanmuxer-cli-emulated")
file(GENERATE OUTPUT "${TOVANMUXER_CLI_EMULATED}"
     CONTENT "#!/bin/sh\nexec ${TOVANMUXER_EMULATOR_PATH} ${tovanmuxer_emulator_args} \"$<TARGET_FILE:tovanmuxer-cli>\" \"$@\"\n"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                      WORLD_EXECUTE)

add_library(tovanmuxer_emulated_fork SHARED support/emulated_fork.c)
target_link_libraries(tovanmuxer_emulated_fork PRIVATE ${CMAKE_DL_LIBS})

# Runs when this directory's list is done, so that it sees every test, however added.
function(tovanmuxer_emulate_tests)
    get_property(targets DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t IN LISTS targets)
        get_target_property(type ${t} TYPE)
        if(NOT type STREQUAL "EXECUTABLE")
            continue()
        endif()
        get_target_property(defs ${t} COMPILE_DEFINITIONS)
        if(defs)
            string(REPLACE "$<TARGET_FILE:tovanmuxer-cli>" "${TOVANMUXER_CLI_EMULATED}" defs
                           "${defs}")
            set_target_properties(${t} PROPERTIES COMPILE_DEFINITIONS "${defs}")
        endif()
        target_compile_definitions(${t} PRIVATE TOVANMUXER_EMULATED=1
                                   TOVANMUXER_EMULATOR="${TOVANMUXER_EMULATOR_PATH}")
        add_dependencies(${t} tovanmuxer_emulated_fork)
    endforeach()

    get_property(tests DIRECTORY PROPERTY TESTS)
    foreach(t IN LISTS tests)
        get_test_property(${t} TIMEOUT timeout)
        if(NOT timeout)
            set(timeout 1500)  # CTest's default
        endif()
        math(EXPR timeout "${timeout} * ${TOVANMUXER_EMULATED_TIME_SCALE}")
        get_test_property(${t} ENVIRONMENT env)
        if(NOT env)
            set(env "")
        endif()
        set(scaled "")
        foreach(e IN LISTS env)
            if(e MATCHES "^QTEST_FUNCTION_TIMEOUT=([0-9]+)$")
                math(EXPR ms "${CMAKE_MATCH_1} * ${TOVANMUXER_EMULATED_TIME_SCALE}")
                set(e "QTEST_FUNCTION_TIMEOUT=${ms}")
            endif()
            list(APPEND scaled "${e}")
        endforeach()
        list(APPEND scaled "QEMU_SET_ENV=LD_PRELOAD=$<TARGET_FILE:tovanmuxer_emulated_fork>"
             "TOVANMUXER_EMULATOR=${TOVANMUXER_EMULATOR_PATH}")
        set_tests_properties(${t} PROPERTIES TIMEOUT ${timeout} ENVIRONMENT "${scaled}")
        if(t IN_LIST TOVANMUXER_EMULATED_SKIP)
            set_tests_properties(${t} PROPERTIES DISABLED TRUE)
        endif()
    endforeach()
endfunction()
cmake_language(DEFER CALL tovanmuxer_emulate_tests)

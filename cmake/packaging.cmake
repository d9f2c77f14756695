# Debian packages, made by `cpack` in a build directory (scripts/make-packages.sh makes them for
# amd64 and arm64): tovanmuxer-cli, the command-line converter, which needs QtCore only (a
# Raspberry Pi or a server needs no widgets), and tovanmuxer, the window with its desktop entry,
# MIME package and icon. The install() rules name their component: `cli` or `window`.
include(GNUInstallDirs)

set(TOVANMUXER_PACKAGE_MAINTAINER "Tovanmuxer developers <tovanmuxer@users.noreply.invalid>"
    CACHE STRING "The Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovanmuxer)
set(CPACK_PACKAGE_VENDOR "Tovanmuxer developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli)
if(TOVANMUXER_BUILD_GUI)
    list(APPEND CPACK_COMPONENTS_ALL window)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TOVANMUXER_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(CMAKE_CROSSCOMPILING)
    # The target's Debian architecture, from its GNU triplet (aarch64-linux-gnu: arm64).
    execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
# dpkg-shlibdeps looks for a cross build's libraries in the target's multiarch directories when
# told the architecture by the environment, which CPack reads this file to set.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/project-config.cmake)
if(CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
         "set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})\n")
else()
    file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "")
endif()

set(CPACK_DEBIAN_CLI_PACKAGE_NAME tovanmuxer-cli)
set(CPACK_DEBIAN_CLI_DESCRIPTION
    "H.264 and H.265 streams into MP4 files, from the command line
Wraps raw H.264 or H.265 (HEVC) Annex B streams, as cameras, single-board
computers, DVRs, drones and encoders write them, into MP4 files without
re-encoding: every picture kept, in order, at the stream's own speed.
A camera's pipe is recorded into a fragmented MP4 file whose fragments
reach the disk one by one.")
set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME tovanmuxer)
# The toolkit's platform plugins are a separate package that libqt6gui6 only recommends.
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS qt6-qpa-plugins)
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
    "H.264 and H.265 streams into MP4 files, in a window
Wraps raw H.264 or H.265 (HEVC) Annex B streams, as cameras, single-board
computers, DVRs, drones and encoders write them, into MP4 files without
re-encoding. Streams are picked, dropped onto the window or opened from
the file manager, which the package's MIME types and desktop entry let
offer the program for them.")
set(CPACK_DEBIAN_WINDOW_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst
                                              ${PROJECT_SOURCE_DIR}/packaging/postrm)

# Man pages and the changelog compressed as Debian has them; the copyright file and the changelog
# go with the packages only (a component's own install), not with `cmake --install`.
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog
               @ONLY)
set(tovanmuxer_compressed "")
foreach(src IN ITEMS cli/tovanmuxer-cli.1 app/tovanmuxer.1 packaging/changelog)
    get_filename_component(name ${src} NAME)
    if(src MATCHES "^packaging/")
        set(in ${PROJECT_BINARY_DIR}/${src})
    else()
        set(in ${PROJECT_SOURCE_DIR}/${src})
    endif()
    set(out ${PROJECT_BINARY_DIR}/packaging/${name}.gz)
    add_custom_command(OUTPUT ${out} COMMAND gzip -9n -c ${in} > ${out} DEPENDS ${in} VERBATIM)
    list(APPEND tovanmuxer_compressed ${out})
endforeach()
add_custom_target(tovanmuxer_compressed_docs ALL DEPENDS ${tovanmuxer_compressed})

install(FILES ${PROJECT_BINARY_DIR}/packaging/tovanmuxer-cli.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
foreach(comp IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${comp} COMP)
    set(doc ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${COMP}_PACKAGE_NAME})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${doc} COMPONENT ${comp}
            EXCLUDE_FROM_ALL)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${doc}
            RENAME changelog.Debian.gz COMPONENT ${comp} EXCLUDE_FROM_ALL)
endforeach()
if(TOVANMUXER_BUILD_GUI)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/tovanmuxer.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT window)
endif()

include(CPack)

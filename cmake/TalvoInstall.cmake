# Installation and packages. `cmake --install <build> --prefix <dir>` installs the programs, the
# manual pages and the examples; tools/package.sh makes the Debian package (CPack DEB, from a
# build configured with the prefix /usr) and the Windows zip (CPack ZIP, from the mingw-w64 build).
# Everything takes the version of project() in the top CMakeLists.txt.
include(GNUInstallDirs)

if(WIN32)
    # The zip unpacks to one flat folder: the programs beside their README and the examples.
    set(TALVO_INSTALL_BINDIR .)
    set(TALVO_INSTALL_EXAMPLESDIR examples)
    set(TALVO_INSTALL_DOCDIR .)
    set(TALVO_INSTALL_WIRESHARKDIR wireshark)
else()
    set(TALVO_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
    set(TALVO_INSTALL_EXAMPLESDIR ${CMAKE_INSTALL_DATADIR}/talvo_rc/examples)
    set(TALVO_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/talvo-rc)
    # Debian's Wireshark loads every Lua dissector in this folder (with the prefix /usr).
    set(TALVO_INSTALL_WIRESHARKDIR ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)
endif()
# Where the installed examples are, as the manual pages name them (on Windows: beside the programs).
if(WIN32)
    set(TALVO_EXAMPLES_DIR ${TALVO_INSTALL_EXAMPLESDIR})
else()
    set(TALVO_EXAMPLES_DIR ${CMAKE_INSTALL_PREFIX}/${TALVO_INSTALL_EXAMPLESDIR})
endif()

install(TARGETS talvo_rc RUNTIME DESTINATION ${TALVO_INSTALL_BINDIR})
if(TARGET talvo_sim)
    install(TARGETS talvo_sim RUNTIME DESTINATION ${TALVO_INSTALL_BINDIR})
endif()
# Every definition file and script of examples/.
install(DIRECTORY examples/ DESTINATION ${TALVO_INSTALL_EXAMPLESDIR})

# The Wireshark dissector of the link protocols, once there is one.
set(TALVO_DISSECTOR ${CMAKE_SOURCE_DIR}/tools/wireshark/talvo.lua)
if(EXISTS ${TALVO_DISSECTOR})
    install(FILES ${TALVO_DISSECTOR} DESTINATION ${TALVO_INSTALL_WIRESHARKDIR})
endif()

# Manual pages: mdoc sources in man/, with the version and the examples folder filled in. They are
# installed compressed, as Debian wants them; the Windows zip gets them as HTML pages when mandoc
# is there to render them.
set(TALVO_MAN_PAGES talvo_rc.1 talvo_sim.1)
set(TALVO_MAN_OUTPUTS)
find_program(TALVO_GZIP gzip)
find_program(TALVO_MANDOC mandoc)
foreach(page ${TALVO_MAN_PAGES})
    set(TALVO_MAN_PAGE ${CMAKE_BINARY_DIR}/man/${page})
    configure_file(man/${page}.in ${TALVO_MAN_PAGE} @ONLY)
    if(WIN32)
        if(TALVO_MANDOC)
            string(REPLACE ".1" ".html" html ${page})
            add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${html}
                COMMAND ${TALVO_MANDOC} -T html -O man=%N.html ${TALVO_MAN_PAGE}
                    > ${CMAKE_BINARY_DIR}/man/${html}
                DEPENDS ${TALVO_MAN_PAGE})
            list(APPEND TALVO_MAN_OUTPUTS ${CMAKE_BINARY_DIR}/man/${html})
            install(FILES ${CMAKE_BINARY_DIR}/man/${html} DESTINATION ${TALVO_INSTALL_DOCDIR})
        endif()
    elseif(TALVO_GZIP)
        # -n: no name or time stamp in the archive, so that the same page gives the same bytes.
        add_custom_command(OUTPUT ${TALVO_MAN_PAGE}.gz
            COMMAND ${TALVO_GZIP} -9 -n -f -k ${TALVO_MAN_PAGE}
            DEPENDS ${TALVO_MAN_PAGE})
        list(APPEND TALVO_MAN_OUTPUTS ${TALVO_MAN_PAGE}.gz)
        install(FILES ${TALVO_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    else()
        install(FILES ${TALVO_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endforeach()
add_custom_target(talvo_man ALL DEPENDS ${TALVO_MAN_OUTPUTS})

# The pages are checked with the test suite: mandoc's lint and man's own warnings (groff).
if(BUILD_TESTING AND NOT CMAKE_CROSSCOMPILING)
    list(TRANSFORM TALVO_MAN_PAGES PREPEND ${CMAKE_BINARY_DIR}/man/ OUTPUT_VARIABLE TALVO_MAN_FILES)
    if(TALVO_MANDOC)
        add_test(NAME ManPagesPassMandocLint
            COMMAND ${TALVO_MANDOC} -T lint -W warning ${TALVO_MAN_FILES})
    endif()
    # cmake --install under a fresh prefix: the programs, the pages and the examples arrive.
    if(TARGET talvo_sim)
        set(TALVO_INSTALL_CHECK ${CMAKE_INSTALL_BINDIR}/talvo_rc ${CMAKE_INSTALL_BINDIR}/talvo_sim
            ${TALVO_INSTALL_EXAMPLESDIR}/FNID.DEF ${TALVO_INSTALL_EXAMPLESDIR}/DEMO.SCR)
        foreach(page ${TALVO_MAN_PAGES})
            if(TALVO_GZIP)
                string(APPEND page .gz)
            endif()
            list(APPEND TALVO_INSTALL_CHECK ${CMAKE_INSTALL_MANDIR}/man1/${page})
        endforeach()
        add_test(NAME InstallPutsProgramsPagesAndExamples
            COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -DBINDIR=${CMAKE_INSTALL_BINDIR}
                -DPREFIX=${CMAKE_BINARY_DIR}/install-check "-DFILES=${TALVO_INSTALL_CHECK}"
                -P ${CMAKE_SOURCE_DIR}/cmake/CheckInstall.cmake)
    endif()
    find_program(TALVO_MAN man)
    if(TALVO_MAN)
        add_test(NAME ManPagesRenderWithoutManWarnings
            COMMAND ${CMAKE_COMMAND} -DMAN=${TALVO_MAN} "-DPAGES=${TALVO_MAN_FILES}"
                -P ${CMAKE_SOURCE_DIR}/cmake/CheckManPages.cmake)
    endif()
endif()

# Files of the Debian package's documentation folder: the copyright and a changelog (compressed).
# The README of the Windows zip.
string(TIMESTAMP TALVO_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(TALVO_PACKAGE_MAINTAINER "talvo_rc developers <talvo-rc@example.com>"
    CACHE STRING "Maintainer named in the Debian package")
if(WIN32)
    configure_file(cmake/README-windows.txt.in ${CMAKE_BINARY_DIR}/package/README.txt @ONLY
        NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_BINARY_DIR}/package/README.txt DESTINATION ${TALVO_INSTALL_DOCDIR})
else()
    configure_file(cmake/debian-changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
    install(FILES cmake/debian-copyright DESTINATION ${TALVO_INSTALL_DOCDIR} RENAME copyright)
    if(TALVO_GZIP)
        add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz
            COMMAND ${TALVO_GZIP} -9 -n -f -k ${CMAKE_BINARY_DIR}/package/changelog
            DEPENDS ${CMAKE_BINARY_DIR}/package/changelog)
        add_custom_target(talvo_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz)
        install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION ${TALVO_INSTALL_DOCDIR})
    endif()
endif()

# --- packages ------------------------------------------------------------------------------------
set(CPACK_PACKAGE_NAME talvo-rc) # Debian package names take no underscore
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "talvo_rc developers")
set(CPACK_PACKAGE_CONTACT ${TALVO_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console tool that drives TALVO remote control units")
# Lines of at most 79 characters; a semicolon would split a CMake string into a list.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "talvo_rc drives a TALVO remote control unit by remote function calls over a\n"
    "serial line (Full, Simple or Terminal framing) or TCP/IP, and shows everything\n"
    "the unit sends back, decoded field by field. Remote functions and their\n"
    "argument structures come from a plain-text definition file. Calls are typed,\n"
    "scripted or repeated on a timer.\n"
    "\n"
    "talvo_sim simulates a unit for trials and tests, with faults on demand.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/dist)
if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME talvo_rc-${PROJECT_VERSION}-win64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # talvo-rc_<version>_<arch>.deb
    set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TALVO_PACKAGE_MAINTAINER})
    # The library dependencies are computed by dpkg-shlibdeps from the programs themselves.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)

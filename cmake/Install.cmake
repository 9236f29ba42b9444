# What `cmake --install` puts in place, and the Debian package CPack builds from it.
include(GNUInstallDirs)

install(TARGETS vintrace-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET vintrace-analyzer-emu)
    install(TARGETS vintrace-analyzer-emu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Wireshark looks for extcap programs in its own folder, which its pkg-config file names
# (with libwireshark-dev); otherwise the Debian one. Within the install prefix it is kept
# relative, so the package and `cmake --install --prefix` place it alike.
if(TARGET vintrace-extcap)
    if(NOT DEFINED VINTRACE_EXTCAP_DIR)
        find_package(PkgConfig QUIET)
        if(PKG_CONFIG_FOUND)
            pkg_get_variable(wireshark_extcap_dir wireshark extcap_dir)
        endif()
        if(NOT wireshark_extcap_dir)
            if(CMAKE_LIBRARY_ARCHITECTURE)
                set(wireshark_extcap_dir /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/extcap)
            else()
                set(wireshark_extcap_dir /usr/lib/wireshark/extcap)
            endif()
        endif()
        # The system folder is below /usr: installed relative to the prefix (/usr for the
        # package) rather than outside it.
        string(REGEX REPLACE "^/usr/" "" wireshark_extcap_dir "${wireshark_extcap_dir}")
        set(VINTRACE_EXTCAP_DIR "${wireshark_extcap_dir}" CACHE STRING
            "Where vintrace-extcap is installed (relative: below the install prefix)")
    endif()
    install(TARGETS vintrace-extcap RUNTIME DESTINATION ${VINTRACE_EXTCAP_DIR})
endif()

set(packaging ${PROJECT_SOURCE_DIR}/packaging)
if(TARGET vintrace)
    install(TARGETS vintrace RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${packaging}/vintrace.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    set(icons ${PROJECT_BINARY_DIR}/icons)
    add_custom_command(OUTPUT ${icons}/scalable/apps/vintrace.svg
                       COMMAND vintrace-icons ${icons}
                       DEPENDS vintrace-icons
                       COMMENT "Drawing the icon theme files")
    add_custom_target(vintrace_icons ALL DEPENDS ${icons}/scalable/apps/vintrace.svg)
    install(DIRECTORY ${icons}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
endif()

# Manual pages from the programs' own --help, regenerated whenever a program is rebuilt.
find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
    set(pages)
    function(vintrace_man_page target summary)
        set(page ${PROJECT_BINARY_DIR}/man/${target}.1.gz)
        set(extra ${packaging}/${target}.h2m)
        if(NOT EXISTS ${extra})
            set(extra "")
        endif()
        add_custom_command(OUTPUT ${page}
                           COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                           COMMAND ${CMAKE_COMMAND} -E env XDG_RUNTIME_DIR=/run/user/UID
                                   sh ${packaging}/make-manpage.sh $<TARGET_FILE:${target}>
                                   ${target} ${summary} ${page} ${extra}
                           DEPENDS ${target} ${packaging}/make-manpage.sh ${extra}
                           COMMENT "Writing the manual page of ${target}"
                           VERBATIM)
        set(pages ${pages} ${page} PARENT_SCOPE)
    endfunction()
    vintrace_man_page(vintrace-cli "decode and examine captures of a USB 1.1 bus analyzer")
    if(TARGET vintrace-analyzer-emu)
        vintrace_man_page(vintrace-analyzer-emu "emulated USB 1.1 bus analyzer for Vintrace")
    endif()
    if(TARGET vintrace)
        vintrace_man_page(vintrace "USB 1.1 bus analyzer: record, decode and browse USB traffic")
    endif()
    if(TARGET vintrace-extcap)
        vintrace_man_page(vintrace-extcap "Wireshark extcap capture from a Vintrace analyzer")
    endif()
    add_custom_target(vintrace_man_pages ALL DEPENDS ${pages})
    install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
    message(STATUS "help2man not found: no manual pages (scripts/install-deps.sh installs it)")
endif()

install(FILES ${packaging}/vintrace-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vintrace-cli)

set(docdir ${CMAKE_INSTALL_DATADIR}/doc/vintrace)
install(FILES README.md DESTINATION ${docdir})
# What each rule of vintrace-cli check finds, for those who read its findings.
install(FILES docs/checks.md DESTINATION ${docdir})
# The copyright notice, also under the name Debian looks for.
install(FILES LICENSE DESTINATION ${docdir})
install(FILES LICENSE DESTINATION ${docdir} RENAME copyright)
# Two recordings to try the programs on, with the licence they come under.
install(FILES tests/data/fs-badge.dat tests/data/ls-mouse.pcap
        DESTINATION ${docdir}/examples)
install(FILES tests/data/LICENSE DESTINATION ${docdir}/examples RENAME LICENSE.examples)

# Debian wants the package's history beside its copyright, compressed without a time stamp.
# The package is revision 1 of the version the programs report (not a native package, so the
# history is changelog.Debian.gz).
set(VINTRACE_DEBIAN_REVISION 1)
set(VINTRACE_PACKAGE_MAINTAINER
    "Vintrace maintainers <maintainers@users.noreply.c-seed-80423042.example>"
    CACHE STRING "Maintainer of the Debian package: name <address>")
configure_file(${packaging}/changelog.Debian.in ${PROJECT_BINARY_DIR}/changelog.Debian @ONLY)
set(changelog ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog}
                   COMMAND sh -c "gzip -9nc changelog.Debian > changelog.Debian.gz"
                   DEPENDS ${PROJECT_BINARY_DIR}/changelog.Debian
                   WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
                   COMMENT "Compressing the package's changelog"
                   VERBATIM)
add_custom_target(vintrace_changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${docdir})
install(FILES ${packaging}/vintrace.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vintrace)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vintrace)
set(CPACK_PACKAGE_VENDOR "Vintrace")
set(CPACK_PACKAGE_CONTACT "${VINTRACE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VINTRACE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "USB 1.1 bus analyzer: record, decode and browse USB traffic")
# One line each: Debian shows the extended description as written, at most 80 columns wide.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Vintrace arms a USB 1.1 capture box, downloads its recording and shows the\n"
    "low- or full-speed packets as a colour-coded list. vintrace-cli decodes,\n"
    "searches, converts (pcap) and acquires on the command line; vintrace-extcap\n"
    "captures from Wireshark; vintrace-analyzer-emu emulates the analyzer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VINTRACE_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# Libraries are found by dpkg-shlibdeps; the Qt platform plugins are loaded at run time, so
# they are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "hwdata")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark")
include(CPack)

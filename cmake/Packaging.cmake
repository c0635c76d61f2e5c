# `cpack -G DEB` in a build tree: one package with both programs and their
# manual pages, for installing on a test station.
set(CPACK_PACKAGE_NAME korva-dudedoved)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korva board test")
set(CPACK_PACKAGE_CONTACT "Korva board test engineers <maintainers@users.noreply.c-seed-117f012d.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Korva board test tool, test station and board simulator")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "dudedoved downloads a test monitor into a Korva unit over RS-232 and\n\
reports whether its SDRAM, FLASH and SRAM pass. korvastation runs it on many\n\
boards at once, with time-outs, burn-in and JSON and JUnit records. korvasim\n\
simulates the board on a pseudo-terminal, with injectable faults, fault\n\
coverage, log diagnosis and a GDB remote stub. The board monitor's image and\n\
its ELF are in /usr/lib/korva.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${CPACK_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps (dpkg-dev) names the libraries that the programs link,
# sanitizer runtimes of a test build included.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs go in stripped; the firmware's ELF keeps its symbols for gdb.
set(CPACK_STRIP_FILES ON)
set(korva_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
korva_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog korva_changelog)
add_custom_target(package_changelog ALL DEPENDS ${korva_changelog})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${korva_changelog} DESTINATION ${korva_doc_dir})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${CPACK_PACKAGE_NAME})
# korvastation serve as a service: its unit, its user (made by postinst),
# and an example configuration.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/korvastation.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/korva.sysusers DESTINATION lib/sysusers.d RENAME korva.conf)
install(FILES ${PROJECT_SOURCE_DIR}/docs/station.toml DESTINATION ${korva_doc_dir}/examples)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
include(CPack)

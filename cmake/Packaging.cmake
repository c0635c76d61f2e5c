# `cpack -G DEB` in a build tree: one package with both programs and their
# manual pages, for installing on a test station.
set(CPACK_PACKAGE_NAME korva-dudedoved)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korva board test")
set(CPACK_PACKAGE_CONTACT "Korva board test engineers <korva-test@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Korva board test tool (dudedoved), test station (korvastation) and board simulator (korvasim)")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "dudedoved downloads a test monitor into a Korva unit over RS-232 and reports\n\
whether its SDRAM, FLASH and SRAM pass. korvastation runs it on many boards at\n\
once, with time-outs, burn-in and JSON and JUnit records. korvasim simulates the\n\
board on a pseudo-terminal, with injectable faults, fault coverage, log\n\
diagnosis and a GDB remote stub.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${CPACK_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(korva_debian_depends "libc6, libstdc++6, libgcc-s1")
if(KORVA_SIMULATOR)
  string(APPEND korva_debian_depends ", libunicorn2, libtinyxml2-9")
endif()
if(KORVA_SANITIZE)
  string(APPEND korva_debian_depends ", libasan8, libubsan1")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS ${korva_debian_depends})
set(CPACK_GENERATOR DEB)
include(CPack)

# Installation and packages: `cmake --install`, a Debian package (cpack -G DEB) from the
# Linux build and a zip (cpack -G ZIP) of the static .exe from the MinGW build.
include(GNUInstallDirs)

set(VORLA_DOCS ${PROJECT_SOURCE_DIR}/docs)
if(WIN32)
  # A Windows user unpacks the zip and finds the program and its README side by side.
  install(TARGETS vorlaloader vorla-gang vorla-report RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  install(TARGETS vorlaloader vorla-gang vorla-report vorla-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Debian wants manual pages and the changelog compressed with gzip -9n (no time stamp,
  # so the package builds the same twice).
  find_program(GZIP_EXECUTABLE gzip REQUIRED)
  set(VORLA_GZ_DIR ${PROJECT_BINARY_DIR}/packaging)
  set(VORLA_GZ_FILES "")
  foreach(src vorlaloader.1 vorla-gang.1 vorla-report.1 vorla-devsim.1 changelog)
    if(src STREQUAL "changelog")
      set(in ${PROJECT_SOURCE_DIR}/packaging/changelog)
    else()
      set(in ${VORLA_DOCS}/${src})
    endif()
    set(out ${VORLA_GZ_DIR}/${src}.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${VORLA_GZ_DIR}
      COMMAND ${GZIP_EXECUTABLE} -9n -c ${in} > ${out}
      DEPENDS ${in} VERBATIM)
    list(APPEND VORLA_GZ_FILES ${out})
  endforeach()
  add_custom_target(vorla_compressed_docs ALL DEPENDS ${VORLA_GZ_FILES})
  install(FILES ${VORLA_GZ_DIR}/vorlaloader.1.gz ${VORLA_GZ_DIR}/vorla-gang.1.gz ${VORLA_GZ_DIR}/vorla-report.1.gz
                ${VORLA_GZ_DIR}/vorla-devsim.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
                ${VORLA_GZ_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME vorlaloader)
set(CPACK_PACKAGE_VENDOR "Vorla Systems")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vorla Systems <firmware@vorla.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware loader for target devices on a serial line")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vorla.example/loader")
  set(CPACK_PACKAGE_DESCRIPTION
      "Vorla Loader serves one target device after another on a serial port, as on a\n"
      "production line: it wakes the board's boot ROM, uploads a serial bootloader,\n"
      "erases the flash, sends every image by XMODEM-1K with CRC-16 and reboots the\n"
      "board, keeping an optional CSV record of every board. vorla-gang serves a\n"
      "whole fixture of ports at once, with one line of live status per slot, and\n"
      "vorla-report turns the records into a shift report, one static page with\n"
      "charts: yield per port, failures by step, boards per hour, cycle times. It also\n"
      "packs images with their flash addresses into one compound image file. The\n"
      "package includes vorla-devsim, a simulated device on a pseudo-terminal for\n"
      "rehearsing a line without hardware.")
  string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
endif()
include(CPack)

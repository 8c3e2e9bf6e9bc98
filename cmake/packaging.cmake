# What `cmake --install` puts under the prefix and what `cpack -G DEB` ships:
#   bin/                         zentcap, zentrec, zentlock, zentcap_receiver
#   share/man/man1/              their manual pages, gzip-compressed
#   share/doc/zentori-helpers/   README.md
# Tests, benchmarks, fuzz targets and the demo's animator are never installed.
include(GNUInstallDirs)

set(ZENT_PACKAGE_NAME zentori-helpers)
set(ZENT_PROGRAMS zentcap zentrec zentlock zentcap_receiver)

set(installed_programs "")
foreach(program IN LISTS ZENT_PROGRAMS)
  if(TARGET ${program})
    list(APPEND installed_programs ${program})
  endif()
endforeach()
if(installed_programs)
  install(TARGETS ${installed_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Manual pages: man/<program>.1.in, with the version filled in, compressed the way
# Debian expects (gzip -9n: no name or time stamp, so builds are reproducible).
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(man_pages "")
foreach(program IN LISTS installed_programs)
  set(source ${CMAKE_SOURCE_DIR}/man/${program}.1.in)
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "${program} has no manual page (man/${program}.1.in)")
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  configure_file(${source} ${page} @ONLY)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${GZIP_EXECUTABLE} -9 -n -c ${page} > ${page}.gz
    DEPENDS ${page} ${source}
    COMMENT "Compressing the manual page of ${program}")
  list(APPEND man_pages ${page}.gz)
endforeach()
if(man_pages)
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZENT_PACKAGE_NAME})

# The Debian package: zentori-helpers_<version>_<arch>.deb. Its Depends line is what
# dpkg-shlibdeps finds the installed binaries need (it reads their ELF NEEDED entries
# and the installed libraries' shlibs/symbols files), so it follows the build's real
# libraries instead of a hand-kept list.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZENT_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zentori")
set(CPACK_PACKAGE_CONTACT "Zentori developers <dev@zentori.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Zentori native helpers: screen streaming, recording and input blocking")
set(CPACK_PACKAGE_DESCRIPTION
  "Command-line programs that the Zentori desktop application starts as child processes:
zentcap streams a display as H.264, zentrec lists and meters microphones, records the
screen with its sound into MP4 and streams system sound as Opus, zentlock holds the
local keyboard and mouse while the host asks, and zentcap_receiver checks and decodes
a zentcap stream. They need an X11 display.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

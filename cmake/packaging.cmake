# Installation and packages: `cmake --install BUILD` puts the tools, their
# manual pages and the documents in place; `cpack` in the build folder makes
# a Debian package (quillex_VERSION_ARCH.deb) natively, and a zip of the
# executables, README.md and LICENSE in a Windows cross build.
include(GNUInstallDirs)

# On Windows the executables stand beside README.md at the top of the zip.
if(WIN32)
  set(tool_destination .)
else()
  set(tool_destination ${CMAKE_INSTALL_BINDIR})
endif()
foreach(tool quillex4 quillex quillex-mkraw)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${tool_destination})
  endif()
endforeach()

if(WIN32)
  install(FILES README.md LICENSE DESTINATION .)
else()
  foreach(page quillex4 quillex quillex-mkraw)
    if(TARGET ${page})
      install(FILES docs/man/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endforeach()
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/docs/report.md)
    install(FILES docs/report.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
  # A Debian package carries its licence as doc/PACKAGE/copyright.
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
endif()

set(CPACK_PACKAGE_NAME quillex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "quillex developers")
set(CPACK_PACKAGE_CONTACT "quillex developers <quillex@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "extract files from raw NAND dumps of SonyEricsson phones")
set(CPACK_PACKAGE_DESCRIPTION
  "quillex4 reads a raw dump of the NAND file system area of SonyEricsson
phones (z530, k610, k790/800, w550, w810, w850, w900), writes the normal
file system image and extracts every FAT12 and FAT16 partition, deleted
files included. quillex lists, extracts and reads the same dumps for
scripts and examiners, with JSON output, digests of every file and a body
file for mactime. quillex-mkraw builds such dumps from FAT volume images.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

# quillex_4.7.0_amd64.deb, installable with `apt-get install ./quillex_*.deb`.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

include(CPack)

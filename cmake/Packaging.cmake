# Release packages, made by CPack: a .deb on Linux, a .zip for a Windows
# build. A package holds everything installed through install() anywhere in
# the project, so a program or page added later comes along unchanged.

# The holder line of LICENSE, "Copyright (c) YEAR NAME".
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE QVX_COPYRIGHT_LINE REGEX "^Copyright " LIMIT_COUNT 1)
string(REGEX REPLACE "^Copyright \\(c\\) " "" QVX_COPYRIGHT_HOLDER "${QVX_COPYRIGHT_LINE}")
string(REGEX REPLACE "^[0-9, -]+" "" QVX_VENDOR "${QVX_COPYRIGHT_HOLDER}")

# The README's links lead into docs/, so the guides go beside it there.
file(GLOB QVX_GUIDES ${PROJECT_SOURCE_DIR}/docs/*.md)
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  install(FILES ${QVX_GUIDES} DESTINATION docs)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  # Debian wants the licence as share/doc/PACKAGE/copyright, in its
  # machine-readable form: the permission text indented by one blank, an
  # empty line written as " .".
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(FIND "${license}" "Permission is hereby granted" start)
  string(SUBSTRING "${license}" ${start} -1 body)
  string(STRIP "${body}" body)
  string(REPLACE "\n\n" "\n.\n" body "${body}")
  string(REPLACE "\n" "\n " QVX_LICENSE_BODY " ${body}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in ${PROJECT_BINARY_DIR}/copyright
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${QVX_GUIDES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "${QVX_VENDOR}")
set(CPACK_PACKAGE_CONTACT "${QVX_VENDOR} <qvxreader@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unpack, list, check, create and edit QVX archives")
# Lines of at most 80 characters, as Debian shows them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Two programs. qvxreader writes every entry of a QVX archive as a file of\n"
  "its own in the current directory and lists where each entry lay in the\n"
  "archive. It never writes outside the current directory, never writes a\n"
  "byte that is not in the archive, and replaces a file only with a complete\n"
  "entry. qvx lists, checks and unpacks archives, writes entries to standard\n"
  "output, creates archives, and updates or deletes entries in place while\n"
  "keeping every other entry byte for byte.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(architecture x64)
  else()
    set(architecture x86)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-windows-${architecture})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The run-time libraries the programs link, with the versions they need,
  # as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)

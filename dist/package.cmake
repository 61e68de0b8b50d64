# The Debian package: `cpack -G DEB` in the build folder. It holds exactly what the install rules
# install, below /usr; its dependencies are found by dpkg-shlibdeps from the programs' libraries.
set(CPACK_PACKAGE_NAME "shelvio")
set(CPACK_PACKAGE_VENDOR "The Shelvio team")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "validate, rename, sort and pack FictionBook (.fb2) books")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Shelvio keeps a FictionBook 2 library in order: it checks each book against the FictionBook "
    "2.1 schema, reads its metadata, renames it by a file-name template, sorts it into folders by "
    "a sort template, optionally transliterates Russian names, and can pack each book into a ZIP "
    "archive of its own. A book is never overwritten. The package holds the desktop program "
    "shelvio (Russian interface) and the command-line runner shelvio-cli.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Shelvio team <team@shelvio.example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://shelvio.example.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Found at run time, not linked: the platform plugins that show the window, and a font with
# Cyrillic letters for its Russian text.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
set(CPACK_GENERATOR "DEB")
include(CPack)

# `make package`: a Debian package of the installed tree (see the install()
# rules beside each target), installed under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kalvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tesmora")
set(CPACK_PACKAGE_CONTACT "Kalvex developers <kalvex@tesmora.net>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "video converter for the PSP handheld")
set(CPACK_PACKAGE_DESCRIPTION "Kalvex converts ordinary video files (AVI, MPEG, TS, MKV, MP4, FLV, WMV, MOV, ...)
into MP4 files a PSP plays and copies them onto a PSP connected by USB.
Dravel, its companion, uploads the program log after a crash.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build keeps its debugging symbols; the package does not carry them.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.tesmora.net/")
# The package depends on the libraries the programs really link, as
# dpkg-shlibdeps reads them from the binaries (it follows the programs'
# RUNPATH to our own ac3filter.so). The window needs a Qt platform plug-in at
# run time, which no binary links, and the script engine opens libavfilter
# when a source first needs a filter graph (engine/AvFilterCalls.h): name
# both here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
string(REGEX MATCH "^[0-9]+" _avfilter_major "${AVFILTER_VERSION}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libavfilter${_avfilter_major}")
# The update installer and web pages are opened with the desktop's opener.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)

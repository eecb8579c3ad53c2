# Release packages made by CPack from what `cmake --install` puts in place (scripts/release.sh):
# a Debian package for /usr and a tar.gz of the same tree to unpack anywhere.
set(CPACK_PACKAGE_NAME kalvicom)
set(CPACK_PACKAGE_CONTACT "kalvicom developers <kalvicom@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Drive a serial port on a network serial device server as if it were local")
set(CPACK_PACKAGE_DESCRIPTION "A small shared library with a plain C interface of nine calls that\
 opens a serial port on a network device server over Telnet with the RFC 2217 COM-PORT-OPTION,\
 with its header, pkg-config file, CMake package and the kvterm terminal.")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_FILE_NAME kalvicom-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Dependencies come from what the packaged files link (dpkg-shlibdeps); the shlibs file lets
# packages built against this one depend on it in turn.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)

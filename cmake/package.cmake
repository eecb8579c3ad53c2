# Release packages made by CPack from what `cmake --install` puts in place (scripts/release.sh),
# named with the project's version:
#   Linux    the Debian packages of cmake/debian.cmake, and kalvicom-VERSION-linux-ARCH.tar.gz, the
#            whole installed tree to unpack anywhere
#   Windows  kalvicom-VERSION-win64.zip or -win32.zip: the DLL, kvterm.exe, the header, both import
#            libraries, the readme, licence, changelog, docs and examples, to unpack and use alone
set(CPACK_PACKAGE_NAME kalvicom)
set(CPACK_PACKAGE_VENDOR "the kalvicom authors")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME kalvicom-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME kalvicom-${PROJECT_VERSION}-win32)
  endif()
  # One zip of the components a Windows user needs: the CMake package and kalvicom.pc (Config) stay
  # out, as they name MinGW's import library only.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_COMPONENTS_ALL Runtime Development Documents)
  if(KALVICOM_TOOLS)
    list(APPEND CPACK_COMPONENTS_ALL Tool)
  endif()
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME kalvicom-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  if(NOT APPLE)
    list(APPEND CPACK_GENERATOR DEB)
    include(cmake/debian.cmake)
  endif()
endif()
include(CPack)

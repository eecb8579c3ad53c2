# Installing kalvicom: the header, the shared library (on Windows the DLL and its import library),
# a CMake package giving kalvicom::kalvicom, and a relocatable pkg-config file. Only the shared
# library is installed; the object and static libraries stay internal to the build.
#
# The components are what the packages are made of (cmake/package.cmake): Runtime (the shared
# library), Development (header, link library), Config (the CMake package and kalvicom.pc, which
# name the link library of this build), Tool (kvterm) and Documents (licence, changelog; on
# Windows also the readme, docs/ and examples/).
include(CMakePackageConfigHelpers)

set(KALVICOM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kalvicom CACHE STRING
  "Where the CMake package files go, relative to the install prefix")
mark_as_advanced(KALVICOM_CMAKE_DIR)

install(TARGETS kalvicom EXPORT kalvicomTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(FILES include/kalvicom.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
if(MSVC)
  install(FILES $<TARGET_PDB_FILE:kalvicom> DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT Runtime OPTIONAL)
endif()

install(EXPORT kalvicomTargets NAMESPACE kalvicom:: DESTINATION ${KALVICOM_CMAKE_DIR}
  COMPONENT Config)
configure_package_config_file(cmake/kalvicomConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kalvicomConfig.cmake
  INSTALL_DESTINATION ${KALVICOM_CMAKE_DIR})
# Before 1.0 a minor release may change the interface; from 1.0 on only a major one does.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(kalvicom_compatibility SameMinorVersion)
else()
  set(kalvicom_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kalvicomConfigVersion.cmake
  COMPATIBILITY ${kalvicom_compatibility})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kalvicomConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/kalvicomConfigVersion.cmake
  DESTINATION ${KALVICOM_CMAKE_DIR} COMPONENT Config)

# kalvicom.pc names the prefix relative to its own folder (${pcfiledir}), so the installed tree
# can be moved or unpacked anywhere. An absolute libdir or includedir is kept as it is.
set(kalvicom_pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${kalvicom_pcdir}")
  set(KALVICOM_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH kalvicom_up /prefix/${kalvicom_pcdir} /prefix)
  string(REGEX REPLACE "/$" "" kalvicom_up "${kalvicom_up}")
  set(KALVICOM_PC_PREFIX "\${pcfiledir}/${kalvicom_up}")
endif()
foreach(kalvicom_kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kalvicom_kind}}")
    set(KALVICOM_PC_${kalvicom_kind} "${CMAKE_INSTALL_${kalvicom_kind}}")
  else()
    set(KALVICOM_PC_${kalvicom_kind} "\${prefix}/${CMAKE_INSTALL_${kalvicom_kind}}")
  endif()
endforeach()
configure_file(cmake/kalvicom.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kalvicom.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kalvicom.pc DESTINATION ${kalvicom_pcdir} COMPONENT Config)

if(WIN32 AND KALVICOM_TOP_LEVEL)
  # The Windows zips stand alone: a readme for Windows, and every document, example and binding
  # source the readme and the docs point to.
  set(kalvicom_zip_bits "x86")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(kalvicom_zip_bits "x64")
  endif()
  configure_file(cmake/windows/README.txt ${CMAKE_CURRENT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt CHANGELOG.md DESTINATION . COMPONENT Documents)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT Documents)
  install(DIRECTORY docs examples bindings DESTINATION . COMPONENT Documents PATTERN CMakeLists.txt EXCLUDE
    PATTERN *.cmake EXCLUDE PATTERN __pycache__ EXCLUDE)
else()
  install(FILES LICENSE CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kalvicom
    COMPONENT Documents)
endif()

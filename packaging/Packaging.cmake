# The manual page, the licence and the packages: a Debian package (cpack -G DEB in the build
# folder) and, from the Windows cross build, a zip (cpack -G ZIP).
find_program(GZIP gzip)

# The manual page, with the project's version, compressed as Debian keeps manual pages.
configure_file(${CMAKE_SOURCE_DIR}/doc/brannock.1 ${CMAKE_BINARY_DIR}/brannock.1 @ONLY)
if(GZIP AND NOT WIN32)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/brannock.1.gz
    COMMAND ${GZIP} -9 -n -c ${CMAKE_BINARY_DIR}/brannock.1 > ${CMAKE_BINARY_DIR}/brannock.1.gz
    DEPENDS ${CMAKE_BINARY_DIR}/brannock.1 VERBATIM)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/changelog @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
    COMMAND ${GZIP} -9 -n -c ${CMAKE_BINARY_DIR}/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
    DEPENDS ${CMAKE_BINARY_DIR}/changelog VERBATIM)
  add_custom_target(brannock_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/brannock.1.gz ${CMAKE_BINARY_DIR}/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/brannock.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
if(WIN32)
  # Unpacked, the zip holds the program, its library, the README and the licence side by side.
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
endif()

set(CPACK_PACKAGE_NAME brannock)
set(CPACK_PACKAGE_VENDOR "brannock contributors")
set(CPACK_PACKAGE_CONTACT "brannock contributors <maintainers@brannock.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "build, edit, test and unpack packed game archives")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "brannock packs game data into the archives a game engine reads: files stored
raw or as LZ4 blocks with Adler-32 checksums, an index behind the data. It
edits them in place under a rollback journal, lists, tests and extracts them
on every core, and exports the engine's record database as text.
.
The package holds the tool, its shared reading library with its header,
CMake package and pkg-config file, and the manual page.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The library cache is refreshed by a trigger; the scripts CPack would write call ldconfig.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/triggers
  ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(NOT WIN32)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
include(CPack)

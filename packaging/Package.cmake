# The Debian package: the manual pages and the package's documentation files as install rules,
# and CPack's DEB generator. packaging/build-package.sh makes the package from a Release tree of
# its own: `make package`.

# Manual pages, numbered with the project version and compressed as Debian wants them (gzip -n:
# no name or time stamp inside, so the same page gives the same bytes).
set(QUANTORIA_GZIP sh -c "gzip -9 -n -c \"$1\" > \"$2\"" gzip) # IN OUT
set(QUANTORIA_MAN_PAGES)
foreach(page quantoria quantoria-eval)
  configure_file(packaging/${page}.1.in ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1 @ONLY)
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${QUANTORIA_GZIP} ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1 ${compressed}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1
    COMMENT "Compressing the manual page ${page}.1" VERBATIM)
  list(APPEND QUANTORIA_MAN_PAGES ${compressed})
endforeach()
set(QUANTORIA_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${QUANTORIA_CHANGELOG}
  COMMAND ${QUANTORIA_GZIP} ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog ${QUANTORIA_CHANGELOG}
  DEPENDS packaging/changelog
  COMMENT "Compressing the changelog" VERBATIM)
add_custom_target(quantoria_docs ALL DEPENDS ${QUANTORIA_MAN_PAGES} ${QUANTORIA_CHANGELOG})
install(FILES ${QUANTORIA_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The package's documentation folder is named after the package, as Debian wants it.
install(FILES packaging/copyright ${QUANTORIA_CHANGELOG}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quantoria)

# The newest changelog entry names the version being built.
file(STRINGS packaging/changelog QUANTORIA_CHANGELOG_HEAD LIMIT_COUNT 1)
if(NOT QUANTORIA_CHANGELOG_HEAD MATCHES "^quantoria \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with \"${QUANTORIA_CHANGELOG_HEAD}\": "
    "its newest entry must be for version ${PROJECT_VERSION}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_NAME quantoria)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Quantoria)
set(CPACK_PACKAGE_CONTACT "Quantoria <support@quantoria.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop calculator for whole expressions, with a history")
set(CPACK_PACKAGE_DESCRIPTION [=[
Quantoria is a desktop calculator that works on whole expressions. Type an
expression such as (12+34)*3 into one of five rows and press Enter: the
result appears beside it, with 0 to 9 decimals and, if wanted, thousands
separators. Every calculation goes into a dated history that is kept
between sessions. The program lives in the notification area and can start
with the desktop session.

The package also holds quantoria-eval, which evaluates expressions from
the command line exactly as the window does.]=])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # quantoria_<version>_<architecture>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION math)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE http://www.quantoria.example/)
# Depends: what dpkg-shlibdeps finds the two programs linked with.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, not linked: Qt's Wayland platform (without it Qt falls back to its X11
# platform, which libqt6gui6 carries, through XWayland), and xdg-open, which Qt's
# QDesktopServices hands the About box's web and mail links to.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, xdg-utils")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Stripped while CPack installs into its staging folder; the install rules seal the stripped
# program again (see the top CMakeLists.txt).
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)

# What `cmake --install` and the Debian package put on a machine: the tool, its
# manual page and its documentation; nothing of the tests, tools or fuzzing.
include(GNUInstallDirs)

find_program(APPDEPLOY_GZIP gzip REQUIRED)

# Dates honour SOURCE_DATE_EPOCH, so a rebuild of the same sources is identical.
string(TIMESTAMP APPDEPLOY_MANUAL_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP APPDEPLOY_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

set(CPACK_PACKAGE_NAME appdeploy)
set(CPACK_PACKAGE_CONTACT "appdeploy maintainers <maintainers@users.noreply.c-seed-0112fa92.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "add, provision or remove a packaged application")
set(CPACK_PACKAGE_DESCRIPTION
    "appdeploy adds one packaged application from an AppInstaller file, can\n"
    "provision its package family for all users, or deprovisions it and removes\n"
    "every installed package of the family. On Linux it deploys into a local\n"
    "package store that checks each package's identity and block hashes.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})

set(appdeploy_doc ${PROJECT_BINARY_DIR}/doc)
configure_file(${PROJECT_SOURCE_DIR}/doc/appdeploy.1.in ${appdeploy_doc}/appdeploy.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${appdeploy_doc}/changelog @ONLY)

# Debian wants both compressed, without a name or time stamp (-n); CPack
# compresses neither.
set(appdeploy_compressed)
foreach(name appdeploy.1 changelog)
  add_custom_command(
    OUTPUT ${appdeploy_doc}/${name}.gz
    COMMAND sh -c "\"$0\" -9n -c \"$1\" > \"$1.gz\"" ${APPDEPLOY_GZIP} ${appdeploy_doc}/${name}
    DEPENDS ${appdeploy_doc}/${name}
    VERBATIM)
  list(APPEND appdeploy_compressed ${appdeploy_doc}/${name}.gz)
endforeach()
add_custom_target(appdeploy_doc ALL DEPENDS ${appdeploy_compressed})

install(TARGETS appdeploy RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT appdeploy)
install(FILES ${appdeploy_doc}/appdeploy.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT appdeploy)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT appdeploy)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)
# Debian names the license `copyright` and wants a changelog (a native package's,
# not changelog.Debian); only the package installs them.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${appdeploy_doc}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};appdeploy;appdeploy;/"
    "${PROJECT_BINARY_DIR};appdeploy;debian;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libcurl is loaded only for an http(s) source, so dpkg-shlibdeps cannot see it;
# file: sources work without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libcurl4)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
include(CPack)

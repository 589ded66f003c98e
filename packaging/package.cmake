# `make package`: a Debian package of what `cmake --install` installs, built
# by CPack's DEB generator from a tree configured with the prefix /usr (the
# systemd units name the programs' full paths).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quarncrc)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "QuarnCRC maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "signature and rules spam engine for mail servers")
set(CPACK_PACKAGE_DESCRIPTION
    "The quarncrc engine checks messages against a database of spam signatures and a\n\
rules file; quarncrc-milter puts it in front of Postfix or Sendmail,\n\
quarncrc-feed serves a site's own signatures and rules, and quarncrc-tool\n\
checks rules, traces messages and inspects the database.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies are read off the programs by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "postfix | mail-transport-agent, man-db")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles)
include(CPack)

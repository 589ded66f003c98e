# What `cmake --install` puts on a machine: the engine, the milter, the
# tool, an example working directory (also as documentation), the milter's
# settings, the systemd units, a Postfix main.cf snippet and, from man/, the
# manual pages.
include(GNUInstallDirs)

set(QUARN_EXAMPLE_DIR ${CMAKE_INSTALL_FULL_DATADIR}/quarncrc/example)

install(TARGETS quarncrc quarncrc-milter quarncrc-tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quarncrc/example)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quarncrc-milter.conf
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/quarncrc)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/postfix-main.cf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/quarncrc)

configure_file(${PROJECT_SOURCE_DIR}/packaging/quarncrc-milter.service.in
               ${PROJECT_BINARY_DIR}/packaging/quarncrc-milter.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/quarncrc-milter.service
        DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)

set(QUARN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/quarncrc)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${QUARN_DOC_DIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quarncrc-milter.conf
              ${PROJECT_SOURCE_DIR}/packaging/postfix-main.cf
        DESTINATION ${QUARN_DOC_DIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${QUARN_DOC_DIR})

include(${PROJECT_SOURCE_DIR}/packaging/package.cmake)

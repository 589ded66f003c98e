# What `cmake --install` puts on a machine: the engine, the milter, an
# example working directory, the milter's settings, a systemd unit and a
# Postfix main.cf snippet.
include(GNUInstallDirs)

set(QUARN_EXAMPLE_DIR ${CMAKE_INSTALL_FULL_DATADIR}/quarncrc/example)

install(TARGETS quarncrc quarncrc-milter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quarncrc/example)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quarncrc-milter.conf
        DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/quarncrc)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/postfix-main.cf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/quarncrc)

configure_file(${PROJECT_SOURCE_DIR}/packaging/quarncrc-milter.service.in
               ${PROJECT_BINARY_DIR}/packaging/quarncrc-milter.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/quarncrc-milter.service
        DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)

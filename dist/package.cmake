# What an install puts beside the two programs, and the Debian package made of
# the same install (`make package`; CPack's DEB generator). Included by the
# top-level CMakeLists.txt, so the tests see the package's name and prefix.

set(AGENT_PACKAGE_NAME tovr-merk-agent)
set(AGENT_PACKAGE_MAINTAINER "TOVR/MERK SQL Agent maintainers <tovr-merk@example.org>"
    CACHE STRING "The Maintainer field of the Debian package")

# A commented example configuration and a desktop entry.
install(FILES dist/tovr_merk.ini DESTINATION share/tovr_merk_agent)
# For the audit log: a fail2ban filter and jail, and a logrotate file, as
# examples to copy into /etc (the package enables nothing).
install(FILES dist/fail2ban/filter.d/tovr-merk.conf DESTINATION share/tovr_merk_agent/fail2ban/filter.d)
install(FILES dist/fail2ban/jail.d/tovr-merk.conf DESTINATION share/tovr_merk_agent/fail2ban/jail.d)
install(FILES dist/logrotate/tovr_merk_agent DESTINATION share/tovr_merk_agent/logrotate)
# For the sign-in listener: the reverse proxies' configurations, to copy and
# change the addresses of.
install(FILES dist/nginx/tovr-merk-auth.conf DESTINATION share/tovr_merk_agent/nginx)
install(FILES dist/caddy/Caddyfile DESTINATION share/tovr_merk_agent/caddy)
install(FILES dist/traefik/dynamic.yml DESTINATION share/tovr_merk_agent/traefik)
install(FILES dist/tovr_merk_agent.desktop DESTINATION share/applications)

# The systemd unit, made when it is installed: see dist/install-unit.cmake.
install(CODE "set(AGENT_UNIT_TEMPLATE \"${PROJECT_SOURCE_DIR}/dist/tovr_merk_agent.service.in\")
              set(AGENT_UNIT \"${PROJECT_BINARY_DIR}/tovr_merk_agent.service\")")
install(SCRIPT dist/install-unit.cmake)

# The copyright notice and a changelog, where Debian wants them for every
# package. gzip -n leaves out the name and time, so the file depends on its text only.
configure_file(dist/changelog.in changelog @ONLY)
execute_process(COMMAND gzip -9nc changelog
                WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz
                COMMAND_ERROR_IS_FATAL ANY)
install(FILES dist/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION share/doc/${AGENT_PACKAGE_NAME})

# The two programs' manual pages, compressed the same way.
foreach(page tovr_merk_agent.1 tovr_merk_lookup.1)
    execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/dist/man/${page}
                    OUTPUT_FILE ${PROJECT_BINARY_DIR}/${page}.gz
                    COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${PROJECT_BINARY_DIR}/${page}.gz DESTINATION share/man/man1)
endforeach()

# ---- The package ------------------------------------------------------------
# The build comes first (make package, make test), so the install that CPack
# runs need not walk the whole build again: that walk is most of the package's
# cost in ctest's package_deb step. `make install` then installs what is built.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${AGENT_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "TOVR/MERK")
set(CPACK_PACKAGE_CONTACT "${AGENT_PACKAGE_MAINTAINER}")
# A package installs to /usr whatever prefix the build was configured with.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# <name>_<version>_<architecture>.deb; the version is the project's.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SQL agent answering credential checks and parameter lookups")
# The summary is the Description's first line; CPack indents this text under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"tovr_merk_agent answers HTTP credential checks and parameter lookups from a
database through Qt SQL (PostgreSQL, MariaDB/MySQL, Firebird, ODBC, SQLite,
or another Qt driver). It runs in
a window, or headless under the systemd unit it ships with.

tovr_merk_lookup is a command-line client for the parameter lookup.")
# Depends: what dpkg-shlibdeps finds for the libraries the programs link; the
# SQL drivers are plugins, loaded by the name in the INI: one of them is
# recommended, the others suggested, with unixODBC and two of its drivers.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "libqt5sql5-psql | libqt5sql5-mysql | libqt5sql5-odbc | libqt5sql5-ibase | libqt5sql5-sqlite")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
    "libqt5sql5-mysql, libqt5sql5-odbc, libqt5sql5-ibase, libqt5sql5-sqlite, unixodbc, odbc-postgresql, odbc-mariadb")
set(CPACK_STRIP_FILES ON)
# Directories 0755 whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

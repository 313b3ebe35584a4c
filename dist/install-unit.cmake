# Run by `cmake --install` and by CPack: makes the systemd unit from its
# template, with ExecStart naming the program where this install puts it (the
# configured prefix, `--prefix`, or the package's /usr), and installs it where
# systemd looks. Debian 12 packages keep units in /lib/systemd/system; other
# prefixes get their own lib/systemd/system (systemd reads /usr/local's).
# Expects AGENT_UNIT_TEMPLATE and AGENT_UNIT (the file to make) to be set.

set(AGENT_BINDIR "${CMAKE_INSTALL_PREFIX}/bin")
set(AGENT_DATADIR "${CMAKE_INSTALL_PREFIX}/share/tovr_merk_agent")
configure_file("${AGENT_UNIT_TEMPLATE}" "${AGENT_UNIT}" @ONLY)

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(unit_dir "/lib/systemd/system")
else()
    set(unit_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
file(INSTALL "${AGENT_UNIT}" DESTINATION "${unit_dir}")

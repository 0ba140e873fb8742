# What `cmake --install` (and `make install`) puts on a machine: the two programs, their
# manual pages, the README, the service unit, its settings example and the systemd-tmpfiles
# rule for its logs. Nothing from the tests, the benchmark or the build tree.
include(GNUInstallDirs)

# The unit's folder, under the prefix unless absolute: the Debian package keeps units in
# /lib/systemd/system while its programs go under /usr.
set(LINKSPY_UNIT_DIR lib/systemd/system CACHE STRING "Folder of the systemd unit")

install(TARGETS linkspy qz7emu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/linkspy.1 man/qz7emu.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The unit names /usr/bin/linkspy; an install under another prefix gets a unit that starts
# the program it installed. The prefix is known only when installing.
set(unit_source ${CMAKE_SOURCE_DIR}/contrib/linkspy@.service)
set(unit_copy ${CMAKE_BINARY_DIR}/linkspy@.service)
install(CODE "
  file(READ \"${unit_source}\" unit)
  string(REPLACE \"/usr/bin/linkspy\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/linkspy\"
         unit \"\${unit}\")
  file(WRITE \"${unit_copy}\" \"\${unit}\")
")
install(FILES README.md ${unit_copy} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES contrib/linkspy.default DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${unit_copy} DESTINATION ${LINKSPY_UNIT_DIR})
install(FILES contrib/linkspy.tmpfiles DESTINATION lib/tmpfiles.d RENAME linkspy.conf)

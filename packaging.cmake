# Installing and packaging: the four programs in bin/, a manual page for each in
# share/man/man1 (each page has one source: the tool's own --help and --version
# through help2man, or the connector's page source), and a Debian package built by
# `cpack -G DEB` whose dependencies dpkg-shlibdeps reads off the binaries.

set(KIO_PROGRAMS kio-connector kio-install kio-peer kio-ltr)
install(TARGETS ${KIO_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(KIO_MANPAGES)
  find_program(HELP2MAN help2man REQUIRED)
  set(KIO_MAN_NAME_kio-install "create an install the connector can serve")
  set(KIO_MAN_NAME_kio-peer "send feature frames and bootstrap streams to a connector")
  set(KIO_MAN_NAME_kio-ltr "read and verify an install's long-term record")
  # The connector has no help text (every argument form but its own is the usage
  # error), so its page has a source of its own, connector/kio-connector.1.in; the
  # tools' pages are made from their --help and --version.
  set(pages ${PROJECT_BINARY_DIR}/man/kio-connector.1)
  configure_file(${PROJECT_SOURCE_DIR}/connector/kio-connector.1.in ${PROJECT_BINARY_DIR}/man/kio-connector.1 @ONLY)
  foreach(program kio-install kio-peer kio-ltr)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${HELP2MAN} --no-info --section=1 --name=${KIO_MAN_NAME_${program}}
              --version-option=--version --help-option=--help --output=${page} $<TARGET_FILE:${program}>
      DEPENDS ${program} $<TARGET_FILE:${program}>
      COMMENT "Manual page for ${program}"
      VERBATIM)
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(manpages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME kio-connector)
set(CPACK_PACKAGE_VENDOR "kio-connector developers")
set(CPACK_PACKAGE_CONTACT "kio-connector developers <kio-connector@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network-facing receiver of a desktop product's install")
set(CPACK_PACKAGE_DESCRIPTION "kio-connector reads two keys on standard input, opens the install's \
encrypted, hash-chained store, answers Noise XX handshakes on a UDP socket on 127.0.0.1, and stores \
the feature frames and bootstrap file streams that peers send. With kio-install, kio-peer and kio-ltr.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

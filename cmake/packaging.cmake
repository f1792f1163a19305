# Install layout and packages: `install` (GNUInstallDirs), the Debian package (CPack DEB) and the Windows zip (CPack ZIP).
#
# Linux: bin/lunscan, share/man/man1/lunscan.1.gz, share/doc/lunscan/ (README, the host-file
# and JSON documents, the demo host, copyright, changelog). Windows: one folder holding lunscan.exe,
# README.txt, the same documents and demo-host.json, as administrators unzip it.
include(GNUInstallDirs)

set(LUNSCAN_DOC_FILES ${PROJECT_SOURCE_DIR}/docs/host-file.md ${PROJECT_SOURCE_DIR}/docs/json.md
                      ${PROJECT_SOURCE_DIR}/docs/lunscan-inventory.schema.json ${PROJECT_SOURCE_DIR}/examples/demo-host.json)

if(WIN32)
  install(TARGETS lunscan RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)
  install(FILES ${LUNSCAN_DOC_FILES} DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "lunscan-${PROJECT_VERSION}-win64")
else()
  install(TARGETS lunscan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Debian wants manual pages and changelogs compressed with the name and time left out (-n), so
  # that the same page gives the same bytes.
  # The page takes its version from the project and its BUGS list from docs/mended-faults.md.
  set(LUNSCAN_MAN ${CMAKE_BINARY_DIR}/lunscan.1 CACHE INTERNAL "the generated manual page")
  set(LUNSCAN_MAN_GZ ${CMAKE_BINARY_DIR}/lunscan.1.gz)
  set(LUNSCAN_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${LUNSCAN_MAN}
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/gen-man-page.py ${PROJECT_SOURCE_DIR}/docs/lunscan.1.in
            ${PROJECT_SOURCE_DIR}/docs/mended-faults.md ${PROJECT_VERSION} ${LUNSCAN_MAN}
    DEPENDS ${PROJECT_SOURCE_DIR}/scripts/gen-man-page.py ${PROJECT_SOURCE_DIR}/docs/lunscan.1.in
            ${PROJECT_SOURCE_DIR}/docs/mended-faults.md VERBATIM)
  add_custom_command(OUTPUT ${LUNSCAN_MAN_GZ}
    COMMAND gzip -9n -c ${LUNSCAN_MAN} > ${LUNSCAN_MAN_GZ}
    DEPENDS ${LUNSCAN_MAN} VERBATIM)
  add_custom_command(OUTPUT ${LUNSCAN_CHANGELOG_GZ}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${LUNSCAN_CHANGELOG_GZ}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
  add_custom_target(lunscan_install_docs ALL DEPENDS ${LUNSCAN_MAN_GZ} ${LUNSCAN_CHANGELOG_GZ})
  install(FILES ${LUNSCAN_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The company-identifier table is compiled in from ieee-data at build time, so that every
  # platform's binary carries the same table; lintian is told that this copy is deliberate.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME lunscan)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${LUNSCAN_DOC_FILES} ${PROJECT_SOURCE_DIR}/packaging/copyright
                ${LUNSCAN_CHANGELOG_GZ}
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # lunscan_<version>_amd64.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps names the libraries the binary really links (libc6, libgcc-s1, libstdc++6) with
  # the versions it needs, rather than a hand-kept list that drifts.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Loaded at run time when present: the SNIA HBA API for -hba; the tools beside it for checks.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libhbaapi2, open-iscsi, sg3-utils")
endif()

set(CPACK_PACKAGE_NAME lunscan)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "lunscan developers")
set(CPACK_PACKAGE_CONTACT "lunscan developers <lunscan@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "inventory of the disks and array LUNs a host sees")
# CPack puts the summary on the Description line and these lines under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "lunscan lists every disk and array LUN a host sees and tells, byte-exactly,
what each says about itself through SCSI: vendor, product, revision,
serial, capacity, WWN and, for arrays of known makes, the array serial,
the volume, the director and port, protection and replication role. It
decodes pages byte by byte, lists Fibre Channel adapters and iSCSI
initiators, and reports remote-replication pairs.")
set(CPACK_STRIP_FILES ON)
include(CPack)

# The packages.
#
# Windows: TavrimondoSetup.dll, the installer's custom actions; packaging/windows/build-msi.sh puts
# it into the MSI with the program (wixl, on Linux).
#
# Linux: `cpack -G DEB` in a Release build directory gives
# tavrimondo-agent_<version>_amd64.deb with the program and an example kordane.ini in
# /opt/tavrimondo/ (the settings file is a conffile, so upgrades keep the store's own), and the
# maintainer scripts of packaging/debian/ that install, remove and purge the systemd unit.
# scripts/package.sh builds it.

if(WIN32)
  add_library(TavrimondoSetup SHARED ${PROJECT_SOURCE_DIR}/packaging/windows/msi_actions.cpp)
  set_target_properties(TavrimondoSetup PROPERTIES PREFIX "")
  target_link_libraries(TavrimondoSetup PRIVATE tavrimondo_service msi)
  return()
endif()

# cpack builds nothing but what it installs.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

install(TARGETS SrvTavrimondoClient RUNTIME DESTINATION opt/tavrimondo)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/kordane.ini DESTINATION opt/tavrimondo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrimondo-agent)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tavrimondo store replication agent")
set(CPACK_PACKAGE_DESCRIPTION
    "Runs beside a store's ERP Firebird database and, every ten seconds, sends the new rows of its\n\
outgoing stock log to the central DataSnap server (TCP port 2507) in batches of 50. Installed as\n\
the systemd service TavrimondoClient; settings in /opt/tavrimondo/kordane.ini.")
set(CPACK_DEBIAN_FILE_NAME "${CPACK_PACKAGE_NAME}_${PROJECT_VERSION}_amd64.deb")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tavrimondo agent maintainers <agent@tavrimondo.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The C and C++ libraries and libsystemd from the program's links; the Firebird client is loaded at
# run time, so it is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libfbclient2")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The packages, both built by scripts/package.sh.
#
# Windows: TavrimondoSetup.dll, the installer's custom actions; packaging/windows/build-msi.sh puts
# it into the MSI with the program (wixl, on Linux).
#
# Linux: `cpack -G DEB` in a Release build directory gives tavrimondo-agent_<version>_amd64.deb:
#   /opt/tavrimondo/SrvTavrimondoClient        the program (root's)
#   /opt/tavrimondo/kordane.ini                a link to the settings, which the program reads beside itself
#   /etc/tavrimondo/kordane.ini                the settings, a conffile (upgrades keep the store's own)
#   /lib/systemd/system/TavrimondoClient.service   the unit: the agent runs as the account tavrimondo, sandboxed,
#                                              writing only /var/lib/tavrimondo and /var/log/tavrimondo
#   /usr/share/doc/tavrimondo-agent/           copyright and changelog
# with the maintainer scripts of packaging/debian/, which create the account and its data folders.
# The target package_files makes what cpack installs besides the program; it is built with the
# program, so that `cpack -G DEB` works in any build folder where the program was built.

if(WIN32)
  add_library(TavrimondoSetup SHARED ${PROJECT_SOURCE_DIR}/packaging/windows/msi_actions.cpp)
  set_target_properties(TavrimondoSetup PROPERTIES PREFIX "")
  target_link_libraries(TavrimondoSetup PRIVATE tavrimondo_service msi)
  return()
endif()

set(TAVRIMONDO_PACKAGE_DIR /opt/tavrimondo)
set(TAVRIMONDO_PACKAGE_ACCOUNT tavrimondo)
set(package_out ${CMAKE_BINARY_DIR}/package)

# The unit comes from the agent's own unit writer, so that both units say the same about the
# program, its stop and its restarts.
add_executable(package_unit ${PROJECT_SOURCE_DIR}/packaging/debian/package_unit.cpp)
target_link_libraries(package_unit PRIVATE tavrimondo_service)
add_custom_command(
  OUTPUT ${package_out}/TavrimondoClient.service
  COMMAND ${CMAKE_COMMAND} -E make_directory ${package_out}
  COMMAND package_unit ${TAVRIMONDO_PACKAGE_DIR}/SrvTavrimondoClient ${TAVRIMONDO_PACKAGE_ACCOUNT}
          ${TAVRIMONDO_PACKAGE_ACCOUNT} > ${package_out}/TavrimondoClient.service
  DEPENDS package_unit
  VERBATIM)
add_custom_command(
  OUTPUT ${package_out}/changelog.gz ${package_out}/kordane.ini
  COMMAND ${CMAKE_COMMAND} -E make_directory ${package_out}
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${package_out}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E create_symlink /etc/tavrimondo/kordane.ini ${package_out}/kordane.ini
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
  VERBATIM)
add_custom_target(package_files DEPENDS ${package_out}/TavrimondoClient.service ${package_out}/changelog.gz
                                        ${package_out}/kordane.ini)
add_dependencies(SrvTavrimondoClient package_files)

# cpack builds nothing but what it installs.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

install(TARGETS SrvTavrimondoClient RUNTIME DESTINATION opt/tavrimondo)
# Stripped as Debian's own packages are: no symbols, no .comment or .note sections.
install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --remove-section=.comment --remove-section=.note
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/opt/tavrimondo/SrvTavrimondoClient\"
                              COMMAND_ERROR_IS_FATAL ANY)")
install(FILES ${package_out}/kordane.ini DESTINATION opt/tavrimondo)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/kordane.ini DESTINATION etc/tavrimondo)
install(FILES ${package_out}/TavrimondoClient.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${package_out}/changelog.gz
        DESTINATION usr/share/doc/tavrimondo-agent)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides DESTINATION usr/share/lintian/overrides
        RENAME tavrimondo-agent)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrimondo-agent)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "store replication agent for Tavrimondo's central server")
set(CPACK_PACKAGE_DESCRIPTION
    "Runs beside a store's ERP Firebird database and, every ten seconds, sends\n\
the new rows of its outgoing stock log to the central DataSnap server (TCP\n\
port 2507) in batches of 50. It runs as the systemd service\n\
TavrimondoClient, as the system user tavrimondo; its settings are in\n\
/etc/tavrimondo/kordane.ini, its activity log in /var/log/tavrimondo.")
set(CPACK_DEBIAN_FILE_NAME "${CPACK_PACKAGE_NAME}_${PROJECT_VERSION}_amd64.deb")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tavrimondo agent maintainers <agent@tavrimondo.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The C and C++ libraries and libsystemd from the program's links; the Firebird client is loaded at
# run time, so it is named here, and adduser makes the account.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libfbclient2, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/preinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

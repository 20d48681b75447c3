# Install layout, service files and the Debian package.
#
# The gateway works in the directory that holds its executable, so the install
# prefix is that directory: <prefix>/orvel, <prefix>/www/, and beside them the
# state the gateway creates itself (setup.ini is the administrator's; devices,
# cron, mem/, logs/ and the *.tmp / tmp_file files are the gateway's). Nothing
# here installs a state file, so reinstalling never touches a user's state.
# The systemd unit and the udev rule go to the system's own directories.

# CMake's own default /usr/local makes no sense for a program that keeps its
# state beside itself, so it is read as "not chosen" too.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT OR CMAKE_INSTALL_PREFIX STREQUAL "/usr/local")
  set(CMAKE_INSTALL_PREFIX /opt/orvel CACHE PATH "The gateway's own directory" FORCE)
endif()

set(ORVEL_DIR ${CMAKE_INSTALL_PREFIX})
set(ORVEL_USER orvel)
# Mode of the gateway's directory, owned root:${ORVEL_USER} (set by the package;
# see "Without the package" in README.md for a plain cmake --install).
set(ORVEL_DIR_MODE 1775)
set(ORVEL_SYSTEMD_UNIT_DIR /lib/systemd/system)
set(ORVEL_UDEV_RULES_DIR /lib/udev/rules.d)
# The network modem daemon's key, written by the administrator (never installed).
set(ORVEL_MODEMD_KEY /etc/orvel/modemd.key)

set(ORVEL_PKG_SRC ${CMAKE_SOURCE_DIR}/packaging)
set(ORVEL_PKG_OUT ${CMAKE_BINARY_DIR}/packaging)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS orvel orvel-modemd RUNTIME DESTINATION .
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Whatever web files the checkout holds when installing.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/www/ DESTINATION www
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

configure_file(${ORVEL_PKG_SRC}/orvel.service.in ${ORVEL_PKG_OUT}/orvel.service @ONLY)
install(FILES ${ORVEL_PKG_OUT}/orvel.service DESTINATION ${ORVEL_SYSTEMD_UNIT_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# orvel-modemd's unit, installed disabled (the package never enables it).
configure_file(${ORVEL_PKG_SRC}/orvel-modemd.service.in ${ORVEL_PKG_OUT}/orvel-modemd.service @ONLY)
install(FILES ${ORVEL_PKG_OUT}/orvel-modemd.service DESTINATION ${ORVEL_SYSTEMD_UNIT_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
configure_file(${ORVEL_PKG_SRC}/99-orvel.rules.in ${ORVEL_PKG_OUT}/99-orvel.rules @ONLY)
install(FILES ${ORVEL_PKG_OUT}/99-orvel.rules DESTINATION ${ORVEL_UDEV_RULES_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The layout, for the install tests (tests/install), which run after this file
# has been read and so cannot take these values at configure time.
file(WRITE ${ORVEL_PKG_OUT}/install.env
  "ORVEL_DIR='${ORVEL_DIR}'\n"
  "ORVEL_USER='${ORVEL_USER}'\n"
  "ORVEL_DIR_MODE='${ORVEL_DIR_MODE}'\n"
  "ORVEL_SYSTEMD_UNIT_DIR='${ORVEL_SYSTEMD_UNIT_DIR}'\n"
  "ORVEL_UDEV_RULES_DIR='${ORVEL_UDEV_RULES_DIR}'\n"
  "ORVEL_MODEMD_KEY='${ORVEL_MODEMD_KEY}'\n"
  "ORVEL_VERSION='${PROJECT_VERSION}'\n")

# ---- Debian package (cpack -G DEB) ------------------------------------------

foreach(script postinst prerm postrm)
  configure_file(${ORVEL_PKG_SRC}/debian/${script}.in ${ORVEL_PKG_OUT}/debian/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "orvel maintainers <orvel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "home-automation gateway for a USB radio modem")
set(CPACK_PACKAGING_INSTALL_PREFIX ${ORVEL_DIR})
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts the summary on the Description line and indents these lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "orvel drives a USB radio modem (HID, vendor 04d8, product 2005) and offers
its radio link on TCP port 2020: a raw line protocol, HTTP routes for radio
commands, the device list, a weekly schedule and stored values, and a small
web dashboard. It runs as the systemd service orvel.service under the system
user orvel and keeps its state in ${ORVEL_DIR}. orvel-modemd, installed beside
it with its own unit orvel-modemd.service (disabled until configured), serves
a modem on one machine to a gateway on another.")
# passwd provides useradd for the maintainer scripts. dpkg-shlibdeps, when
# present, names the C runtime, the hidapi and the libsystemd runtimes with their versions;
# without it they are named outright.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
find_program(ORVEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(ORVEL_DPKG_SHLIBDEPS)
if(ORVEL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libc6, libhidapi-hidraw0, libsystemd0")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${ORVEL_PKG_OUT}/debian/postinst ${ORVEL_PKG_OUT}/debian/prerm ${ORVEL_PKG_OUT}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/run/")
include(CPack)

# The Debian package: the installed tree as `cmake --install` lays it out, with the
# folders scripts/package.sh gives (the program under /opt/crateFerry, the man page,
# the copyright and the examples under /usr/share, the systemd units in
# /lib/systemd/system), without the device component: the package's maintainer
# scripts make the device's folders and the SFTP tools' links instead, and take them
# away again.
set(CRATEFERRY_MAINTAINER "crateFerry maintainers <maintainers@crateferry.example>"
    CACHE STRING "Maintainer line of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME crateferry)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${CRATEFERRY_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/crateFerry)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "moves new files of a device folder to a server, prunes old ones")
set(CPACK_PACKAGE_DESCRIPTION
  "crateFerry is started from cron or a systemd timer under one of two names.
As upload it sends the files of a scan folder that are newer than a timestamp
file to a server with curl (one file at a time, or in batch runs over one
connection) or with sftp, up to 16 transfers at once, optionally after
downloading files into that folder. As remove it deletes the files of the scan
folder that are older than a configured age, and the oldest ones below a floor
of free space. It is configured by /opt/crateFerry/etc/settings and logs to
syslog (started at a terminal, to the terminal too).")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# sed and /bin/sh come with every Debian system; curl does every transfer.
# ssh, sftp and sshpass serve the SFTP mode only, killall the FTP wait only.
set(crateferry_depends "curl")
if(NOT CRATEFERRY_STATIC)
  if(CMAKE_CROSSCOMPILING)
    # dpkg-shlibdeps cannot read the target's libraries here.
    string(APPEND crateferry_depends ", libc6, libstdc++6, libgcc-s1")
  else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${crateferry_depends}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "openssh-client, sshpass, psmisc")

if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  endif()
endif()

set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/")

set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/prerm
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)

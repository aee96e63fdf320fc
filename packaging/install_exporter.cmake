# Install-time part of tarvik_exporter's installation (included by cmake_install.cmake, so
# CMAKE_INSTALL_PREFIX is the prefix of this installation and DESTDIR may be set): the
# systemd unit, written for this prefix, and the default configuration.
#
# Set by the caller: QV_UNIT_TEMPLATE, QV_DEFAULT_CONFIG, QV_STAGE_ROOT (a build folder),
# QV_BINDIR and QV_UNITDIR (relative to the prefix).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(QV_ETC "/etc")
else()
  set(QV_ETC "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(QV_EXPORTER_PROGRAM "${CMAKE_INSTALL_PREFIX}/${QV_BINDIR}/tarvik_exporter")
set(QV_EXPORTER_CONFIG "${QV_ETC}/tarvik_exporter/config.yml")

string(MD5 QV_STAGE_KEY "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(QV_STAGE "${QV_STAGE_ROOT}/${QV_STAGE_KEY}")
configure_file("${QV_UNIT_TEMPLATE}" "${QV_STAGE}/tarvik-exporter.service" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${QV_UNITDIR}" TYPE FILE
     FILES "${QV_STAGE}/tarvik-exporter.service")

# A configuration that is already there is the administrator's: it is kept. (A package
# marks the file as a conffile instead; dpkg then asks before replacing a changed one.)
if(EXISTS "$ENV{DESTDIR}${QV_EXPORTER_CONFIG}")
  message(STATUS "Kept (exists): $ENV{DESTDIR}${QV_EXPORTER_CONFIG}")
else()
  file(INSTALL DESTINATION "${QV_ETC}/tarvik_exporter" TYPE FILE FILES "${QV_DEFAULT_CONFIG}"
       RENAME config.yml)
endif()

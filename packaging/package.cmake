# Debian packages, one per install component (see CMakeLists.txt here):
#
#   cpack -G DEB --config BUILD/CPackConfig.cmake -B OUT
#
# packs what the build tree BUILD holds (build it first) into OUT/<package>_<version>_<arch>.deb.
# The files go under /usr (configuration under /etc); the binaries are stripped; the
# dependencies on shared libraries come from dpkg-shlibdeps (dpkg-dev); the shared library
# package carries its shlibs file and the ldconfig trigger. The copyright file, the
# compressed changelog and the compressed manual pages are added to each package's staged
# files by debian/pre_build.cmake.
set(QV_PACKAGE_MAINTAINER "tarvik developers <tarvik-developers@example.org>"
    CACHE STRING "Maintainer field of the Debian packages (name <address>)")

set(QV_DEBIAN_DIR ${CMAKE_CURRENT_SOURCE_DIR}/debian)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VENDOR "the tarvik project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QV_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(QV_PACKAGE_COMPONENTS tool lib dev)
if(TARGET tarvik_exporter)
  list(APPEND QV_PACKAGE_COMPONENTS exporter)
endif()
if(TARGET check_tarvik)
  list(APPEND QV_PACKAGE_COMPONENTS check)
endif()
set(CPACK_COMPONENTS_ALL ${QV_PACKAGE_COMPONENTS})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE tarvik)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME tarvik)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TOOL_DESCRIPTION
    "read and control network environment-monitoring units
tarvik reads the values, the configuration and the sensor list of a network
environment-monitoring unit over HTTP/1.0 and XML, stores them in files, writes
a text report, switches binary outputs and uploads a configuration. Its exit
code tells success or the reason of a failure.
.
The package also holds tarvik-device, a stand-in unit (an HTTP/1.0 server with
bundled documents) for trying tarvik and programs built on libqvxml without a
device.")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libqvxml1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# The linker cache is refreshed by dpkg's ldconfig trigger. (CPack also adds postinst and
# postrm scripts that run ldconfig themselves; that is redundant, not wrong.)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${QV_DEBIAN_DIR}/libqvxml1/triggers)
set(CPACK_COMPONENT_LIB_DESCRIPTION
    "client library for network environment-monitoring units
libqvxml talks to network environment-monitoring units over HTTP/1.0 and XML:
one worker thread per unit connection, asynchronous requests reported through
callbacks, the units' values and configuration as fixed records.
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqvxml-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The static library and the CMake package need libxml2's development files.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libqvxml1 (= ${PROJECT_VERSION}), libxml2-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "client library for network environment-monitoring units - development files
libqvxml talks to network environment-monitoring units over HTTP/1.0 and XML.
.
This package holds the header qvxml.h (for C and C++) with its record field
tables, the static library, the pkg-config file (qvxml) and the CMake package
(find_package(qvxml) gives qvxml::qvxml and qvxml::qvxml_static).")

set(QV_DEBIAN_BINARY_DIR ${CMAKE_CURRENT_BINARY_DIR}/debian)
set(CPACK_DEBIAN_EXPORTER_PACKAGE_NAME tarvik-exporter)
set(CPACK_DEBIAN_EXPORTER_PACKAGE_SECTION net)
# procps: /bin/kill, which the unit's reload runs.
set(CPACK_DEBIAN_EXPORTER_PACKAGE_DEPENDS procps)
set(CPACK_DEBIAN_EXPORTER_PACKAGE_CONTROL_EXTRA
    ${QV_DEBIAN_DIR}/tarvik-exporter/conffiles ${QV_DEBIAN_DIR}/tarvik-exporter/postinst
    ${QV_DEBIAN_DIR}/tarvik-exporter/prerm ${QV_DEBIAN_DIR}/tarvik-exporter/postrm)
set(CPACK_COMPONENT_EXPORTER_DESCRIPTION
    "Prometheus exporter for network environment-monitoring units
tarvik_exporter probes network environment-monitoring units for Prometheus:
each scrape of /probe reads one unit over HTTP/1.0 and XML and reports its
sensors, inputs and outputs with their states, and whether the probe succeeded.
.
The package runs it as a systemd service (tarvik-exporter.service) under a
dynamic unprivileged user, with its configuration in
/etc/tarvik_exporter/config.yml; systemctl reload tarvik-exporter rereads the
configuration.")

set(CPACK_DEBIAN_CHECK_PACKAGE_NAME tarvik-check)
set(CPACK_DEBIAN_CHECK_PACKAGE_SECTION net)
set(CPACK_COMPONENT_CHECK_DESCRIPTION
    "monitoring plugin for network environment-monitoring units
check_tarvik reads one network environment-monitoring unit over HTTP/1.0 and
XML and reports its sensors and binary inputs against the unit's alarms or
warning and critical ranges, in the plugin format of Nagios, Icinga, Naemon and
compatible systems, with performance data.
.
The plugin is installed in /usr/lib/nagios/plugins.")

# The Debian changelog of these packages, for this version.
string(TIMESTAMP QV_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${QV_DEBIAN_DIR}/changelog.in ${QV_DEBIAN_BINARY_DIR}/changelog @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${QV_DEBIAN_DIR}/pre_build.cmake)
# Read by pre_build.cmake (CPack passes CPACK_* variables on).
set(CPACK_QV_DEBIAN_DIR ${QV_DEBIAN_DIR})
set(CPACK_QV_DEBIAN_BINARY_DIR ${QV_DEBIAN_BINARY_DIR})

include(CPack)
foreach(component ${QV_PACKAGE_COMPONENTS})
  cpack_add_component(${component})
endforeach()

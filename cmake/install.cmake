# Installation and the Debian package: programs, example configuration, systemd units,
# manual pages, Prometheus alerting rules, and the CPack settings for "cpack -G DEB".
#
# Never install anything at /etc/halvex-mapapi-server/halvex_mapapi_server.ini: while that
# file exists every run of the service reads it, wherever it was started.
include(GNUInstallDirs)

set(HALVEX_CONFIG_DIR "/etc/halvex-mapapi-server" CACHE PATH
    "Folder of the service's configuration (absolute; the service's path is fixed)")
set(HALVEX_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Folder of the systemd unit, relative to the install prefix or absolute")

set(_halvex_pkg_src "${PROJECT_SOURCE_DIR}/packaging")
set(_halvex_pkg_bin "${PROJECT_BINARY_DIR}/packaging")

foreach(_halvex_prog halvex_mapapi_server halvex_mapapi_send halvex_mapapi_sink)
  if(TARGET ${_halvex_prog})
    install(TARGETS ${_halvex_prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The client libraries where Debian's C developers and its python3 look for them: the header in
# /usr/include, the shared library (with its soname link and the link a build uses), the static
# one and the pkg-config file in the multiarch folder (/usr/lib/x86_64-linux-gnu), the module in
# /usr/lib/python3/dist-packages. The .pc names the prefix in force when installing, as the unit
# does below.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(HALVEX_CLIENT_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
else()
  set(HALVEX_CLIENT_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
endif()
install(TARGETS halvex_mapapi_client halvex_mapapi_client_static
        LIBRARY DESTINATION "${HALVEX_CLIENT_LIBDIR}" ARCHIVE DESTINATION "${HALVEX_CLIENT_LIBDIR}")
install(FILES "${PROJECT_SOURCE_DIR}/client/halvex_mapapi_client.h"
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
get_target_property(_halvex_client_version halvex_mapapi_client VERSION)
install(CODE "
  set(HALVEX_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(HALVEX_PC_LIBDIR \"\\\${prefix}/${HALVEX_CLIENT_LIBDIR}\")
  set(HALVEX_PC_INCLUDEDIR \"\\\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}\")
  set(HALVEX_CLIENT_VERSION \"${_halvex_client_version}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/client/halvex-mapapi-client.pc.in\"
                 \"${_halvex_pkg_bin}/halvex-mapapi-client.pc\" @ONLY)
")
install(FILES "${_halvex_pkg_bin}/halvex-mapapi-client.pc"
        DESTINATION "${HALVEX_CLIENT_LIBDIR}/pkgconfig")
install(FILES "${PROJECT_SOURCE_DIR}/client/python/halvex_mapapi_client.py"
        DESTINATION "lib/python3/dist-packages")

# The sink's live map page and the libraries it loads, where the sink looks for them: beside
# its binary, in ../share/halvex-mapapi-server/web. Only the files the page uses, each library
# with its licence, in the layout that npm ci gives tools/web.
set(_halvex_web "${PROJECT_SOURCE_DIR}/tools/web")
set(_halvex_web_dest "${CMAKE_INSTALL_DATADIR}/halvex-mapapi-server/web")
set(_halvex_web_files
    index.html map.js
    node_modules/leaflet/LICENSE node_modules/leaflet/dist/leaflet.js
    node_modules/leaflet/dist/leaflet.css
    node_modules/topojson-client/LICENSE node_modules/topojson-client/dist/topojson-client.min.js
    node_modules/world-atlas/LICENSE node_modules/world-atlas/land-50m.json)
if(TARGET halvex_mapapi_sink)
  if(EXISTS "${_halvex_web}/node_modules/world-atlas/land-50m.json")
    foreach(_halvex_file ${_halvex_web_files})
      get_filename_component(_halvex_sub "${_halvex_file}" DIRECTORY)
      install(FILES "${_halvex_web}/${_halvex_file}" DESTINATION "${_halvex_web_dest}/${_halvex_sub}")
    endforeach()
  else()
    message(WARNING "tools/web/node_modules is missing (run scripts/setup): the sink's map page "
                    "will not be installed")
  endif()
endif()

# The example configuration, with the build's default endpoint filled in.
configure_file("${_halvex_pkg_src}/halvex_mapapi_server.ini.example.in"
               "${_halvex_pkg_bin}/halvex_mapapi_server.ini.example" @ONLY)
install(FILES "${_halvex_pkg_bin}/halvex_mapapi_server.ini.example"
        DESTINATION "${HALVEX_CONFIG_DIR}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Alerting rules for Prometheus, which an operator names under rule_files; their unit test
# stays in the source tree (scripts/package-check runs it against the installed file).
install(FILES "${_halvex_pkg_src}/prometheus/halvex-mapapi-server.rules.yml"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/halvex-mapapi-server/prometheus")

# The unit's ExecStart must name the binary where it ends up, and that depends on the prefix
# in force when installing (CPack installs with /usr, a plain "cmake --install" with
# CMAKE_INSTALL_PREFIX or --prefix), so the unit is written at install time.
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set(_halvex_unit_bindir "${CMAKE_INSTALL_BINDIR}")
else()
  set(_halvex_unit_bindir "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
endif()
install(CODE "
  set(HALVEX_UNIT_BINDIR \"${_halvex_unit_bindir}\")
  configure_file(\"${_halvex_pkg_src}/halvex-mapapi-server.service.in\"
                 \"${_halvex_pkg_bin}/halvex-mapapi-server.service\" @ONLY)
")
install(FILES "${_halvex_pkg_bin}/halvex-mapapi-server.service"
              "${_halvex_pkg_src}/halvex-mapapi-server.socket"
        DESTINATION "${HALVEX_SYSTEMD_UNIT_DIR}")

# Install src as DESTINATION/name.gz, gzipped -9n (no name, no time stamp: the same bytes on
# every build) as Debian has manual pages and changelogs; as it is, named name, without gzip.
find_program(HALVEX_GZIP gzip)
set(_halvex_gzip_outputs "")
function(halvex_gzipped_install src name destination)
  if(HALVEX_GZIP)
    set(_out "${_halvex_pkg_bin}/gz/${name}.gz")
    add_custom_command(OUTPUT "${_out}"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${_halvex_pkg_bin}/gz"
      COMMAND ${HALVEX_GZIP} -9n -c "${src}" > "${_out}"
      DEPENDS "${src}"
      COMMENT "Compressing ${name}")
    set(_halvex_gzip_outputs ${_halvex_gzip_outputs} "${_out}" PARENT_SCOPE)
    install(FILES "${_out}" DESTINATION "${destination}")
  else()
    install(FILES "${src}" DESTINATION "${destination}" RENAME "${name}")
  endif()
endfunction()

# Manual pages (man reads both forms).
foreach(_halvex_page halvex_mapapi_server.8 halvex_mapapi_send.1 halvex_mapapi_sink.1
                     halvex_mapapi_client.3)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" _halvex_section "${_halvex_page}")
  halvex_gzipped_install("${_halvex_pkg_src}/man/${_halvex_page}" "${_halvex_page}"
                         "${CMAKE_INSTALL_MANDIR}/man${_halvex_section}")
endforeach()

# The package's documentation: its copyright and licences (machine-readable, never
# compressed) and its changelog, named changelog.gz as in a package with no upstream of its own.
set(_halvex_doc_dest "${CMAKE_INSTALL_DATADIR}/doc/halvex-mapapi-server")
install(FILES "${_halvex_pkg_src}/debian/copyright" DESTINATION "${_halvex_doc_dest}")
halvex_gzipped_install("${_halvex_pkg_src}/debian/changelog" changelog "${_halvex_doc_dest}")

if(_halvex_gzip_outputs)
  add_custom_target(halvex_gzipped ALL DEPENDS ${_halvex_gzip_outputs})
endif()

# ---- Debian package ---------------------------------------------------------------------
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "halvex-mapapi-server")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Halvex map relay maintainers")
set(CPACK_PACKAGE_CONTACT "Halvex map relay maintainers <maintainers@halvex-maps.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay of map points from local programs to a map service")
set(CPACK_PACKAGE_DESCRIPTION
"halvex_mapapi_server listens on a Unix-domain socket for JSON point messages
from programs on the same machine, answers each with OK or FAILED, and posts
the accepted points in batches over HTTPS to a live map service.
.
The package also holds the client libraries for programs that send points
(a C library with its header and pkg-config file, halvex-mapapi-client, and
the Python module halvex_mapapi_client), halvex_mapapi_send, a command-line
client, and halvex_mapapi_sink, a local HTTPS stand-in for the map service
for testing that also draws the points it receives on a live map page for a
browser.
The service is installed as a systemd unit but neither enabled nor started:
write /etc/halvex-mapapi-server/halvex_mapapi_server.ini first.")
# The programs go to /usr/bin and the unit to /usr/lib/systemd/system; the configuration
# folder is absolute (/etc/halvex-mapapi-server). DESTDIR staging keeps the absolute paths
# inside the package and makes install-time CMAKE_INSTALL_PREFIX the packaging prefix.
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Debug information stays in the build tree; the package gets stripped programs.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Runtime dependencies are read from the programs' shared libraries by dpkg-shlibdeps
# (package dpkg-dev): libcurl4, libjsoncpp25, libinireader0, libssl3, libc6, libstdc++6...
find_program(HALVEX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(HALVEX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps not found: the package's Depends are a fixed list")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6, libstdc++6, libgcc-s1, libcurl4, libjsoncpp25, libinireader0, libssl3, libprometheus-cpp-core1.0, libprometheus-cpp-pull1.0, libcivetweb1, libsystemd0, zlib1g")
endif()
# systemctl is used by the maintainer scripts only when systemd runs; nothing more needed.
# The Python module needs python3, which a relay does not.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3")
# triggers: ldconfig runs once the shared client library is in place (or gone).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${_halvex_pkg_src}/debian/postinst;${_halvex_pkg_src}/debian/prerm;${_halvex_pkg_src}/debian/postrm;${_halvex_pkg_src}/debian/triggers;${_halvex_pkg_bin}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Files under /etc are conffiles (Debian policy): an edited example survives upgrades.
file(WRITE "${_halvex_pkg_bin}/conffiles"
     "${HALVEX_CONFIG_DIR}/halvex_mapapi_server.ini.example\n")
include(CPack)

# CPack settings of the Debian package quelmo_<version>_<arch>.deb (scripts/package builds
# it). The version is the project version, the one "quelmo.fast -V" prints; dependencies
# come from dpkg-shlibdeps (Berkeley DB's runtime, libc, libstdc++).
set(QUELMO_PACKAGE_MAINTAINER "quelmo maintainers <quelmo@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quelmo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# Stripped by strip-binaries.cmake, which CPack runs on the staged files.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/strip-binaries.cmake)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "FastAGI call-routing companion for the Asterisk PBX")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "quelmo.fast is a FastAGI daemon on 127.0.0.1. For each call Asterisk hands
it, it looks the extension up in two encrypted Berkeley DB databases and
forwards the call by the extension's rules, or sets the caller ID of an
outgoing call. quelmo.admin creates, checks and dumps the databases. tonemill
and cardstat serve the Tormenta telephony cards beside the PBX.
The package installs a hardened systemd unit and a logrotate configuration;
it never starts or restarts the service on its own.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUELMO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS logrotate)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS asterisk)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# A native package carries its changelog as usr/share/doc/quelmo/changelog.gz. Its date
# is the build's, or SOURCE_DATE_EPOCH for a reproducible build.
string(TIMESTAMP QUELMO_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(changelog.in changelog @ONLY)
add_custom_command(OUTPUT changelog.gz
                   COMMAND gzip -9n < changelog > changelog.gz
                   DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Files in /etc stay the administrator's: dpkg keeps changed ones on upgrade.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/conffiles "/etc/default/quelmo-fast\n/etc/logrotate.d/quelmo\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/conffiles ${CMAKE_CURRENT_BINARY_DIR}/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

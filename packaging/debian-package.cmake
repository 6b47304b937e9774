# CPack settings of the Debian packages quelmo_<version>_<arch>.deb and
# libquelmo-agi-dev_<version>_<arch>.deb, one per install component (scripts/package
# builds them). The version is the project version, the one "quelmo.fast -V" prints; the
# dependencies of quelmo come from dpkg-shlibdeps (Berkeley DB's runtime, libc, libstdc++).
set(QUELMO_PACKAGE_MAINTAINER "quelmo maintainers <quelmo@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quelmo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# Stripped by strip-binaries.cmake, which CPack runs on the staged files.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/strip-binaries.cmake)
# Each package's description starts with its own summary line: a global
# CPACK_PACKAGE_DESCRIPTION_SUMMARY would be put in front of both.
set(QUELMO_PACKAGE_SUMMARY "FastAGI call-routing companion for the Asterisk PBX")
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
set(CPACK_DEBIAN_QUELMO_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/conffiles ${CMAKE_CURRENT_BINARY_DIR}/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# One package per install component: quelmo (everything installed without a component)
# and libquelmo-agi-dev (the component agi_dev, agi/). Neither depends on the other.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL quelmo agi_dev)
set(CPACK_DEBIAN_QUELMO_PACKAGE_NAME quelmo)
set(CPACK_DEBIAN_QUELMO_DESCRIPTION
    "${QUELMO_PACKAGE_SUMMARY}\n${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_AGI_DEV_PACKAGE_NAME libquelmo-agi-dev)
set(CPACK_DEBIAN_AGI_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_AGI_DEV_DESCRIPTION "AGI client library of quelmo for Asterisk AGI programs
The AGI client library of quelmo as a static library for programs written
in C or C++: the header quelmo/cagi.h, libquelmo-agi.a and the pkg-config
file quelmo-agi.pc. It reads the AGI environment, sends every AGI command
and parses the replies, multi-line replies and hang-up notices included.
Build a program with: cc prog.c $(pkg-config --cflags --libs quelmo-agi)")
# A static library has no run-time dependencies; linking it needs the C library and the
# C++ library it was compiled against (libstdc++-<gcc major>-dev).
set(CPACK_DEBIAN_AGI_DEV_PACKAGE_SHLIBDEPS OFF)
string(REGEX MATCH "^[0-9]+" gcc_major "${CMAKE_CXX_COMPILER_VERSION}")
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(stdcxx_dev "libstdc++-${gcc_major}-dev | libstdc++-dev")
else()
  set(stdcxx_dev "libstdc++-dev")
endif()
set(CPACK_DEBIAN_AGI_DEV_PACKAGE_DEPENDS "libc6-dev | libc-dev, ${stdcxx_dev}")
set(CPACK_DEBIAN_AGI_DEV_PACKAGE_RECOMMENDS "pkgconf | pkg-config")
set(CPACK_DEBIAN_AGI_DEV_PACKAGE_SUGGESTS "")
include(CPack)

# The development package carries its own copyright, changelog and README (its section
# on the library is the package's documentation).
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz ${PROJECT_SOURCE_DIR}/README.md copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libquelmo-agi-dev COMPONENT agi_dev)

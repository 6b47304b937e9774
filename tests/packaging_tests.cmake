# Tests of what an installation gets beside the programs: the manual pages are linted,
# the systemd unit is verified, and the Debian package is built and inspected. A test
# whose tool is missing here exits 77 and is reported as skipped.
add_test(NAME packaging.man_pages_lint
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/support/lint-man-pages ${PROJECT_SOURCE_DIR}/packaging/man)
add_test(NAME packaging.systemd_unit_verify
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/support/verify-unit
                 ${PROJECT_BINARY_DIR}/packaging/quelmo-fast.service $<TARGET_FILE:quelmo_fast>)
# Builds the package in a release tree of its own (a minute the first time, LABEL package).
add_test(NAME packaging.debian_package
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/support/check-package
                 ${PROJECT_BINARY_DIR}/package ${PROJECT_VERSION})
set_tests_properties(packaging.man_pages_lint packaging.systemd_unit_verify packaging.debian_package
                     PROPERTIES SKIP_RETURN_CODE 77 LABELS package)
set_tests_properties(packaging.debian_package PROPERTIES TIMEOUT 900)

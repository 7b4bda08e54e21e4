# `cpack -G DEB` and `cpack -G RPM` in a configured build directory make the Debian and the RPM
# package of what cmake/install.cmake installs, under /usr (the prefix CPack gives both,
# whatever CMAKE_INSTALL_PREFIX says).

set(CPACK_PACKAGE_NAME "quillmere-network-supervisor")
set(CPACK_PACKAGE_VENDOR "Quillmere")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Privileged session helper of the Quillmere VPN application")
# The long description, wrapped as a Debian control field is read; CPack puts the summary
# above it and indents each line. The RPM carries the same text.
string(JOIN "\n" quillmere_package_description
  "The Quillmere VPN application starts this helper as root, through pkexec, to"
  "bring one tunnel session up under supervision or to clean a session up, and"
  "without privileges to ask whether per-application routing can work. It checks"
  "the session directory that the application prepared, starts the proxy engine"
  "and the network guard only from checked descriptors, with a scrubbed"
  "environment and a sealed configuration, and reports through its exit status"
  "and a few state files. Beside it, quillmere-session-check explains without"
  "privileges, by the helper's own rules, why a session directory would be"
  "refused.")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${quillmere_package_description}")
# Strip the packaged copy only; the build tree keeps its debugging information.
set(CPACK_STRIP_FILES ON)

# The sources state no licence of their own, so the packager names it; the default says that
# the package is not free software to redistribute.
set(QUILLMERE_PACKAGE_LICENSE "Proprietary" CACHE STRING "License field of the RPM package")

set(QUILLMERE_PACKAGE_MAINTAINER "Quillmere developers <packaging@quillmere.invalid>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLMERE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The supervisor is normally a static PIE and depends on no shared library at all. Linked
# dynamically (QUILLMERE_STATIC=OFF), it needs the C and C++ runtimes; dpkg-shlibdeps then
# reads the installed binary and writes the matching Depends (libc6, libgcc-s1, libstdc++6)
# with the versions this build needs, so they follow the toolchain instead of a hand-kept list.
if(QUILLMERE_STATIC_SUPERVISOR)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# The application starts it through pkexec; the helper itself runs without it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pkexec")

# Debian asks three files of every package beyond what the ordinary install puts on a system:
# the copyright file, the changelog (compressed as the manual pages are) and lintian's
# overrides. They are the Debian package's alone, added by CPack for that generator only
# (packaging/cpack-generator.cmake). gzip is the one cmake/install.cmake found.
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/packaging/cpack-generator.cmake")
set(CPACK_QUILLMERE_DEBIAN_FILES_SCRIPT "${PROJECT_BINARY_DIR}/packaging/debian-files.cmake")
# Both packages install under /usr, the prefix the polkit action's path is made for.
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
string(CONFIGURE [==[
  set(quillmere_doc_dir "@CPACK_PACKAGING_INSTALL_PREFIX@/share/doc/@CPACK_PACKAGE_NAME@")
  set(quillmere_changelog "@PROJECT_BINARY_DIR@/packaging/changelog.gz")
  execute_process(COMMAND "@QUILLMERE_GZIP@" -9nc "@PROJECT_SOURCE_DIR@/packaging/debian/changelog"
                  OUTPUT_FILE "${quillmere_changelog}" RESULT_VARIABLE compressed)
  if(NOT compressed EQUAL 0)
    message(FATAL_ERROR "gzip cannot compress packaging/debian/changelog")
  endif()
  file(INSTALL DESTINATION "${quillmere_doc_dir}" TYPE FILE
       FILES "@PROJECT_SOURCE_DIR@/packaging/debian/copyright" "${quillmere_changelog}")
  file(INSTALL DESTINATION "@CPACK_PACKAGING_INSTALL_PREFIX@/share/lintian/overrides" TYPE FILE
       FILES "@PROJECT_SOURCE_DIR@/packaging/debian/lintian-overrides" RENAME "@CPACK_PACKAGE_NAME@")
]==] quillmere_debian_files @ONLY)
file(WRITE "${CPACK_QUILLMERE_DEBIAN_FILES_SCRIPT}" "${quillmere_debian_files}")

# The RPM: the same files under the same prefix.
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE "${QUILLMERE_PACKAGE_LICENSE}")
set(CPACK_RPM_PACKAGE_GROUP "System Environment/Daemons")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${quillmere_package_description}")
# Only the package's own directories belong to it; the prefix's shared ones (share/man/man8,
# the polkit action directory) belong to the system or to polkit.
list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
     /usr/libexec /usr/share/man /usr/share/polkit-1 /usr/share/polkit-1/actions)
foreach(section RANGE 1 8)
  list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man/man${section})
endforeach()
# The polkit action names the supervisor by its path under /usr, so the package cannot move.
set(CPACK_RPM_PACKAGE_RELOCATABLE OFF)
# rpmbuild would add /usr/lib/.build-id links for the ELF file, which are no part of the layout.
# The Packager tag comes from the %packager macro: the project itself, as in the Debian
# package's Maintainer field, not a person.
set(QUILLMERE_PACKAGE_PACKAGER "${QUILLMERE_PACKAGE_MAINTAINER}" CACHE STRING "Packager tag of the RPM package")
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none\n%define packager ${QUILLMERE_PACKAGE_PACKAGER}")
# As with the Debian package: rpmbuild's dependency generator reads the binary, and finds no
# shared library in a static one; the package provides no library either.
set(CPACK_RPM_PACKAGE_AUTOPROV OFF)
if(QUILLMERE_STATIC_SUPERVISOR)
  set(CPACK_RPM_PACKAGE_AUTOREQ OFF)
else()
  set(CPACK_RPM_PACKAGE_AUTOREQ ON)
endif()

# A cross build packages for its target, not for the machine that built it.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  set(CPACK_RPM_PACKAGE_ARCHITECTURE aarch64)
endif()

# A source package (`cpack --config CPackSourceConfig.cmake`) leaves build trees and editor files out.
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git(/|$)" "/build[^/]*/" "/out/" "\\\\.swp$")

include(CPack)

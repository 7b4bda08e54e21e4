# `cpack -G DEB` in a configured build directory makes the Debian package of what
# cmake/install.cmake installs, under /usr (the prefix CPack gives Debian packages, whatever
# CMAKE_INSTALL_PREFIX says).

set(CPACK_PACKAGE_NAME "quillmere-network-supervisor")
set(CPACK_PACKAGE_VENDOR "Quillmere")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "privileged session helper of the Quillmere VPN application")
# The long description, wrapped as a Debian control field is read; CPack puts the summary
# above it and indents each line.
string(JOIN "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "The Quillmere VPN application starts this helper as root, through pkexec, to"
  "bring one tunnel session up under supervision or to clean a session up, and"
  "without privileges to ask whether per-application routing can work. It checks"
  "the session directory that the application prepared, starts the proxy engine"
  "and the network guard only from checked descriptors, with a scrubbed"
  "environment and a sealed configuration, and reports through its exit status"
  "and a few state files.")
# Strip the packaged copy only; the build tree keeps its debugging information.
set(CPACK_STRIP_FILES ON)

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

# A source package (`cpack --config CPackSourceConfig.cmake`) leaves build trees and editor files out.
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git(/|$)" "/build[^/]*/" "/out/" "\\\\.swp$")

include(CPack)

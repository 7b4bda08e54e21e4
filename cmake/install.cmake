# What `cmake --install` puts on a system: the supervisor in a private libexec directory (the
# application starts it by its full path, so it does not belong on PATH), the session checker
# in bin, their manual pages, the documentation and the polkit action that lets the
# application start the supervisor through pkexec.
# Nothing else is installed: the test programs, the test fixtures and the reference parent
# exist for the build tree only.

# Debian and most distributions keep a package's documents in share/doc/<package name>; the
# CMake project name (with underscores) is not the package name. An empty entry is no choice:
# GNUInstallDirs leaves one behind when a project built alongside (GoogleTest, in a cross
# build) included it first.
if("$CACHE{CMAKE_INSTALL_DOCDIR}" STREQUAL "")
  set(CMAKE_INSTALL_DOCDIR "share/doc/quillmere-network-supervisor" CACHE PATH
      "Documentation root (share/doc/quillmere-network-supervisor)" FORCE)
endif()
include(GNUInstallDirs)

# Both relative to the prefix unless the GNUInstallDirs variables were given as absolute paths.
set(QUILLMERE_INSTALL_HELPERDIR "${CMAKE_INSTALL_LIBEXECDIR}/quillmere")
set(QUILLMERE_INSTALL_POLKITDIR "${CMAKE_INSTALL_DATADIR}/polkit-1/actions")

install(TARGETS quillmere-network-supervisor
        RUNTIME DESTINATION "${QUILLMERE_INSTALL_HELPERDIR}")
# The session checker is for people (application authors, support), so it goes on PATH.
install(TARGETS quillmere-session-check RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")

# Distributions ship manual pages compressed, with gzip -9n: the smallest, and with neither a
# name nor a time stamp, so that the same sources always give the same package. They are
# compressed while installing, so that an install needs nothing built beyond the programs;
# docs/ keeps the pages as they are read and checked (man -l docs/...).
find_program(QUILLMERE_GZIP gzip REQUIRED)
mark_as_advanced(QUILLMERE_GZIP)
set(quillmere_manual_pages quillmere-network-supervisor.8 quillmere-session-check.1)
string(CONFIGURE [==[
  set(quillmere_man_dir "@CMAKE_INSTALL_MANDIR@")
  if(NOT IS_ABSOLUTE "${quillmere_man_dir}")
    set(quillmere_man_dir "${CMAKE_INSTALL_PREFIX}/${quillmere_man_dir}")
  endif()
  file(MAKE_DIRECTORY "@PROJECT_BINARY_DIR@/man")
  foreach(page IN ITEMS @quillmere_manual_pages@)
    string(REGEX REPLACE "^.*[.]" "" section "${page}")
    execute_process(COMMAND "@QUILLMERE_GZIP@" -9nc "@PROJECT_SOURCE_DIR@/docs/${page}"
                    OUTPUT_FILE "@PROJECT_BINARY_DIR@/man/${page}.gz" RESULT_VARIABLE compressed)
    if(NOT compressed EQUAL 0)
      message(FATAL_ERROR "gzip cannot compress docs/${page}")
    endif()
    file(INSTALL DESTINATION "${quillmere_man_dir}/man${section}" TYPE FILE FILES "@PROJECT_BINARY_DIR@/man/${page}.gz")
  endforeach()
]==] quillmere_install_manual_pages @ONLY)
install(CODE "${quillmere_install_manual_pages}")

install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/docs/parent-protocol.md"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(FILES "${PROJECT_SOURCE_DIR}/SECURITY.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}" OPTIONAL)

# The polkit action names the supervisor by its absolute installed path, and pkexec refuses
# any other path. The prefix is only final when installing (`cmake --install --prefix`, and
# CPack installs into its own /usr), so the action is generated then, not at configure time.
set(quillmere_policy_template
    "${PROJECT_SOURCE_DIR}/packaging/polkit/com.quillmere.vpn.network-supervisor.policy.in")
set(quillmere_policy_generated
    "${PROJECT_BINARY_DIR}/packaging/polkit/com.quillmere.vpn.network-supervisor.policy")
string(CONFIGURE [==[
  set(quillmere_helper_dir "@QUILLMERE_INSTALL_HELPERDIR@")
  if(NOT IS_ABSOLUTE "${quillmere_helper_dir}")
    set(quillmere_helper_dir "${CMAKE_INSTALL_PREFIX}/${quillmere_helper_dir}")
  endif()
  set(quillmere_polkit_dir "@QUILLMERE_INSTALL_POLKITDIR@")
  if(NOT IS_ABSOLUTE "${quillmere_polkit_dir}")
    set(quillmere_polkit_dir "${CMAKE_INSTALL_PREFIX}/${quillmere_polkit_dir}")
  endif()
  set(QUILLMERE_SUPERVISOR_PATH "${quillmere_helper_dir}/quillmere-network-supervisor")
  configure_file("@quillmere_policy_template@" "@quillmere_policy_generated@" @ONLY)
  file(INSTALL DESTINATION "${quillmere_polkit_dir}" TYPE FILE FILES "@quillmere_policy_generated@")
]==] quillmere_install_policy @ONLY)
install(CODE "${quillmere_install_policy}")

# The manual page and the polkit action are checked with the test suite when the tools are
# there; scripts/check-docs runs the same checks on its own, and CI insists on the tools.
if(QUILLMERE_BUILD_TESTS)
  find_program(QUILLMERE_MANDOC mandoc)
  find_program(QUILLMERE_MAN man)
  find_program(QUILLMERE_XMLLINT xmllint)
  mark_as_advanced(QUILLMERE_MANDOC QUILLMERE_MAN QUILLMERE_XMLLINT)
  if(QUILLMERE_MANDOC AND QUILLMERE_MAN AND QUILLMERE_XMLLINT)
    add_test(NAME packaging_docs COMMAND "${PROJECT_SOURCE_DIR}/scripts/check-docs")
    set_tests_properties(packaging_docs PROPERTIES LABELS "docs" TIMEOUT 60)
  endif()
endif()

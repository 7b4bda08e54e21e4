# Read by cpack once per generator: the Debian package alone gets the files Debian's policy
# asks of every package (see cmake/package.cmake).
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_SCRIPTS "${CPACK_QUILLMERE_DEBIAN_FILES_SCRIPT}")
endif()

# nlohmann/json for a cross build. Debian's own package configuration names /usr/include as the
# include directory, which would put every host header ahead of the cross compiler's own; this
# one offers a directory in the build tree that holds only a link to the library's headers.
if(NOT TARGET nlohmann_json::nlohmann_json)
  set(quillmere_json_include "${CMAKE_BINARY_DIR}/cross-include")
  file(MAKE_DIRECTORY "${quillmere_json_include}")
  file(CREATE_LINK /usr/include/nlohmann "${quillmere_json_include}/nlohmann" SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${quillmere_json_include}")
endif()

# The folders of src/ are layers: each is one static library that may include and link only the
# folders named beneath it. The compiler enforces it: a layer's include path is a directory of
# its own holding links to exactly those folders, so an include that reaches upward names a
# header that is not there, and the build fails at that line.

set(QUILLMERE_LAYER_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/layers)

# quillmere_add_layer(NAME [LOWER_FOLDER...] [EXCLUDE FILE...]) makes the library quillmere_NAME
# from src/NAME/*.cpp, less the EXCLUDEd files (entry points built as executables).
function(quillmere_add_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 layer "" "" "EXCLUDE")
  set(lower ${layer_UNPARSED_ARGUMENTS})

  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${name}/*.cpp)
  foreach(excluded IN LISTS layer_EXCLUDE)
    list(REMOVE_ITEM sources ${PROJECT_SOURCE_DIR}/src/${name}/${excluded})
  endforeach()

  set(stage ${QUILLMERE_LAYER_INCLUDE_ROOT}/${name})
  file(REMOVE_RECURSE ${stage})
  file(MAKE_DIRECTORY ${stage})
  foreach(folder IN ITEMS ${name} ${lower})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${stage}/${folder} SYMBOLIC)
  endforeach()

  add_library(quillmere_${name} STATIC ${sources})
  target_include_directories(quillmere_${name} PUBLIC ${stage})
  target_compile_options(quillmere_${name} PRIVATE ${quillmere_warnings})
  foreach(folder IN LISTS lower)
    target_link_libraries(quillmere_${name} PUBLIC quillmere_${folder})
  endforeach()
  set_property(GLOBAL APPEND PROPERTY QUILLMERE_LAYERS quillmere_${name})
  set_property(GLOBAL APPEND PROPERTY QUILLMERE_LAYER_FOLDERS ${name})
  set_property(GLOBAL PROPERTY QUILLMERE_LAYER_${name}_REACHES ${name} ${lower})
endfunction()

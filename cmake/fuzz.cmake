# Fuzz targets for the parsers that take bytes from outside: the session file, the netlink
# reply, the state directory argument. Each target is one fuzz/NAME_fuzz.cpp defining
# LLVMFuzzerTestOneInput.
#
# QUILLMERE_FUZZ=ON (clang with libFuzzer; scripts/run-fuzzers sets it up) builds each target
# as a libFuzzer binary. Without it, each target is linked to a plain replay main and every
# saved input under fuzz/corpus/NAME and fuzz/crashes/NAME runs as a test labelled
# fuzz-replay, so a crash once found stays a regression test of the normal build.
option(QUILLMERE_FUZZ "Build the fuzz targets as libFuzzer binaries (clang only)" OFF)

file(GLOB quillmere_fuzz_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/*_fuzz.cpp)

if(QUILLMERE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUILLMERE_FUZZ needs clang with libFuzzer")
  endif()
  # Coverage feedback from the library code, not only from the targets.
  get_property(layers GLOBAL PROPERTY QUILLMERE_LAYERS)
  foreach(layer IN LISTS layers)
    target_compile_options(${layer} PRIVATE -fsanitize=fuzzer-no-link)
  endforeach()
  foreach(source IN LISTS quillmere_fuzz_sources)
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${source})
    target_compile_options(${name} PRIVATE ${quillmere_warnings} -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE quillmere_supervisor)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  endforeach()
elseif(QUILLMERE_BUILD_TESTS)
  foreach(source IN LISTS quillmere_fuzz_sources)
    get_filename_component(name ${source} NAME_WE)
    string(REGEX REPLACE "_fuzz$" "" target ${name})
    add_executable(${name}_replay ${source} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    target_compile_options(${name}_replay PRIVATE ${quillmere_warnings})
    target_link_libraries(${name}_replay PRIVATE quillmere_supervisor)
    set_target_properties(${name}_replay PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
    add_test(NAME FuzzReplay.${target}
             COMMAND ${name}_replay ${PROJECT_SOURCE_DIR}/fuzz/corpus/${target}
                     ${PROJECT_SOURCE_DIR}/fuzz/crashes/${target})
    set_tests_properties(FuzzReplay.${target} PROPERTIES LABELS fuzz-replay)
  endforeach()
endif()

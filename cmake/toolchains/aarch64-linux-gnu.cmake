# Cross build for 64-bit Arm with Debian 12's g++-aarch64-linux-gnu (g++ 12, glibc 2.36 in
# /usr/aarch64-linux-gnu). The supervisor is a static PIE as on x86-64. CTest and the test
# discovery run the target's programs through qemu-aarch64-static (Debian's qemu-user-static),
# named here explicitly, so no binfmt_misc registration is needed on the build machine.
#
# Debian ships no GoogleTest for the cross compiler without an arm64 foreign architecture, so
# the tests build it from Debian's source package (googletest, /usr/src/googletest) inside this
# build (QUILLMERE_GTEST_SOURCE_DIR). nlohmann/json is headers only and the same for every
# target: nlohmann_json/ beside this file offers the host's copy without the rest of the host's
# /usr/include.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L lets the dynamically linked test binaries find the target's loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L /usr/aarch64-linux-gnu)

set(nlohmann_json_DIR "${CMAKE_CURRENT_LIST_DIR}/nlohmann_json" CACHE PATH
    "nlohmann/json for the cross build: the host's headers only")
set(QUILLMERE_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources built with the tests for the target")

# The host's nlohmann/json is the one the cross build compiles against: its version is the host's.
include(/usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake)

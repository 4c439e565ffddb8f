# Host tree: the packer and its tests, built natively.
find_package(zstd CONFIG REQUIRED)
find_package(CLI11 CONFIG REQUIRED)
# zlib: the splash image's PNG data (Debian ships no config file for it, so its module).
find_package(ZLIB REQUIRED)

# The warnings every host target is built with.
add_library(zobrin_host_warnings INTERFACE)
target_compile_options(zobrin_host_warnings INTERFACE -Wall -Wextra)

include(cmake/packer_sources.cmake)
add_library(zobrin_pack_lib STATIC ${ZOBRIN_PACKER_SOURCES})
target_include_directories(zobrin_pack_lib PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(zobrin_pack_lib PUBLIC zstd::libzstd_shared ZLIB::ZLIB PRIVATE zobrin_host_warnings)

add_executable(zobrin-pack packer/cli.cpp packer/pack_main.cpp)
target_link_libraries(zobrin-pack PRIVATE zobrin_pack_lib CLI11::CLI11 zobrin_host_warnings)
target_compile_definitions(zobrin-pack PRIVATE ZOBRIN_VERSION="${PROJECT_VERSION}")
set_target_properties(zobrin-pack PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_BIN_DIR})

include(cmake/host_tests.cmake)
include(cmake/fuzz_regressions.cmake)
include(cmake/install.cmake)

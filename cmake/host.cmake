# Host tree: the packer and its tests, built natively.
find_package(zstd CONFIG REQUIRED)
find_package(CLI11 CONFIG REQUIRED)

# The warnings every host target is built with.
add_library(zobrin_host_warnings INTERFACE)
target_compile_options(zobrin_host_warnings INTERFACE -Wall -Wextra)

add_library(zobrin_pack_lib STATIC
  payload/app_tree.cpp
  payload/coff_object.cpp
  payload/exe_extras.cpp
  payload/exe_image.cpp
  payload/file_io.cpp
  payload/host_os.cpp
  payload/ico_file.cpp
  payload/link_exe.cpp
  payload/payload_list.cpp
  payload/payload_read.cpp
  payload/payload_verify.cpp
  payload/payload_writer.cpp
  payload/pe_image.cpp
  payload/pe_resources.cpp
  payload/system_dlls.cpp
  payload/utf.cpp
  payload/version_info.cpp
  payload/win_case.cpp)
target_include_directories(zobrin_pack_lib PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(zobrin_pack_lib PUBLIC zstd::libzstd_shared PRIVATE zobrin_host_warnings)

add_executable(zobrin-pack payload/pack_main.cpp)
target_link_libraries(zobrin-pack PRIVATE zobrin_pack_lib CLI11::CLI11 zobrin_host_warnings)
target_compile_definitions(zobrin-pack PRIVATE ZOBRIN_VERSION="${PROJECT_VERSION}")
set_target_properties(zobrin-pack PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_BIN_DIR})

include(cmake/host_tests.cmake)
include(cmake/fuzz_regressions.cmake)
include(cmake/install.cmake)

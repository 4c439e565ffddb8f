# Host tree: the packer and its tests, built natively.
find_path(ZSTD_INCLUDE_DIR zstd.h REQUIRED)
find_library(ZSTD_LIBRARY zstd REQUIRED)

add_compile_options(-Wall -Wextra -O2)

add_library(zobrin_pack_lib STATIC
  payload/app_tree.cpp
  payload/coff_object.cpp
  payload/exe_image.cpp
  payload/file_io.cpp
  payload/link_exe.cpp
  payload/payload_list.cpp
  payload/payload_writer.cpp
  payload/pe_image.cpp
  payload/utf.cpp)
target_include_directories(zobrin_pack_lib PUBLIC ${CMAKE_SOURCE_DIR} ${ZSTD_INCLUDE_DIR})
target_link_libraries(zobrin_pack_lib PUBLIC ${ZSTD_LIBRARY})

add_executable(zobrin-pack payload/pack_main.cpp)
target_link_libraries(zobrin-pack PRIVATE zobrin_pack_lib)
set_target_properties(zobrin-pack PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_BIN_DIR})

include(cmake/host_tests.cmake)
include(cmake/fuzz_regressions.cmake)

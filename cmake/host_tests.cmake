# Host tests of the packer, and the tool that writes hand-made payloads for the Windows tests.
add_executable(craft-payload tests/tools/craft_payload.cpp)
target_link_libraries(craft-payload PRIVATE zobrin_pack_lib)

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

add_executable(host_tests
  tests/host/pe_builder.cpp
  tests/host/pack_test.cpp)
target_link_libraries(host_tests PRIVATE zobrin_pack_lib gtest_main)
target_compile_definitions(host_tests PRIVATE
  ZOBRIN_PACK_EXE="$<TARGET_FILE:zobrin-pack>")
add_dependencies(host_tests zobrin-pack)
gtest_discover_tests(host_tests)

# Host tests of the packer, and the tool that writes hand-made payloads for the Windows tests.
find_package(GTest CONFIG REQUIRED)
include(GoogleTest)

add_executable(craft-payload tests/tools/craft_payload.cpp)
target_link_libraries(craft-payload PRIVATE zobrin_pack_lib zobrin_host_warnings)

add_executable(host_tests
  tests/host/pe_builder.cpp
  tests/host/pack_test.cpp
  tests/host/exe_extras_test.cpp
  tests/host/splash_test.cpp
  tests/host/format_test.cpp)
target_link_libraries(host_tests PRIVATE zobrin_pack_lib GTest::gtest_main zobrin_host_warnings)
target_compile_definitions(host_tests PRIVATE
  ZOBRIN_PACK_EXE="$<TARGET_FILE:zobrin-pack>"
  ZOBRIN_VERSION="${PROJECT_VERSION}"
  ZOBRIN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(host_tests zobrin-pack)
gtest_discover_tests(host_tests)

# zobrin-pack.exe: the packer cross-built for Windows hosts, beside the kit in ZOBRIN_BIN_DIR
# (so it finds launcher\ next to itself, as zobrin-pack does). Static: it needs no DLL beyond
# the system's and the Universal CRT.
set(zobrin_zstd_mt ${ZOBRIN_ZSTD_WIN}/lib/libzstd-mt.a)
if(NOT EXISTS ${zobrin_zstd_mt})
  message(FATAL_ERROR "${zobrin_zstd_mt} is missing: run scripts/build-zstd-windows.sh")
endif()
add_library(zobrin_zstd_mt STATIC IMPORTED)
set_target_properties(zobrin_zstd_mt PROPERTIES
  IMPORTED_LOCATION ${zobrin_zstd_mt}
  INTERFACE_INCLUDE_DIRECTORIES ${ZOBRIN_ZSTD_WIN}/include)

# zlib from the cross toolchain's own tree (Debian's libz-mingw-w64-dev), linked statically.
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)

# CLI11 is header-only: its headers are taken from the build machine's include directory,
# copied alone so that no other host header can shadow a Windows one.
find_path(ZOBRIN_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include /usr/local/include
  NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
if(NOT ZOBRIN_CLI11_INCLUDE)
  message(FATAL_ERROR "CLI11's headers (CLI/CLI.hpp) are not installed")
endif()
set(zobrin_cli11_copy ${CMAKE_BINARY_DIR}/cli11-include)
file(COPY ${ZOBRIN_CLI11_INCLUDE}/CLI DESTINATION ${zobrin_cli11_copy})
add_library(zobrin_cli11_win INTERFACE)
target_include_directories(zobrin_cli11_win SYSTEM INTERFACE ${zobrin_cli11_copy})

include(cmake/packer_sources.cmake)
add_executable(zobrin-pack-win ${ZOBRIN_PACKER_SOURCES} packer/cli.cpp
  packer/pack_main.cpp)
target_include_directories(zobrin-pack-win PRIVATE ${CMAKE_SOURCE_DIR})
# Debian's libstdc++ is built against msvcrt's headers, where mbstate_t is an int; under
# _UCRT's it is a struct, and the streams' and paths' conversions of that type are missing
# from the library. So the packer is compiled with msvcrt's declarations and, like every
# other program here, linked against the Universal CRT (which exports the same functions).
target_compile_options(zobrin-pack-win PRIVATE -U_UCRT -O2 -Wall -Wextra)
target_compile_definitions(zobrin-pack-win PRIVATE ZOBRIN_VERSION="${PROJECT_VERSION}"
  UNICODE _UNICODE)
target_link_libraries(zobrin-pack-win PRIVATE zobrin_zstd_mt ZLIB::ZLIB zobrin_cli11_win shell32)
target_link_options(zobrin-pack-win PRIVATE
  -static -s -Wl,--defsym,_setjmp=__intrinsic_setjmp)
set_target_properties(zobrin-pack-win PROPERTIES
  OUTPUT_NAME zobrin-pack RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_BIN_DIR})

# A linker driver for the --linker runs under Wine (see the program's comment).
add_executable(fake_linker tests/win/fake_linker.cpp)
target_link_options(fake_linker PRIVATE -municode -static -Wl,--defsym,_setjmp=__intrinsic_setjmp)
set_target_properties(fake_linker PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR})

# zobrin-pack.exe under Wine, from Windows paths, against the Linux zobrin-pack.
add_test(NAME windows_packer
  COMMAND ${CMAKE_SOURCE_DIR}/tests/windows_packer_test.sh $<TARGET_FILE:zobrin-pack-win>
          ${ZOBRIN_PACK} ${CMAKE_BINARY_DIR}/examples/example_hello_c_app $<TARGET_FILE:fake_linker>
          ${CMAKE_BINARY_DIR}/windows_packer_test)

# make dist's archives (scripts/dist.sh), unpacked elsewhere and used to pack an example.
if(NOT ZOBRIN_HOST_TREE)
  message(FATAL_ERROR "set ZOBRIN_HOST_TREE to the host build tree")
endif()
add_test(NAME dist_archives
  COMMAND ${CMAKE_SOURCE_DIR}/tests/dist_test.sh ${CMAKE_SOURCE_DIR} ${ZOBRIN_HOST_TREE}
          ${ZOBRIN_BIN_DIR} ${CMAKE_BINARY_DIR}/examples/example_hello_c_app ${CMAKE_BINARY_DIR}/dist_test)

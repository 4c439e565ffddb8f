# Windows tree: the launcher library, and the test programs that run under Wine.
if(NOT ZOBRIN_ZSTD_WIN)
  message(FATAL_ERROR "set ZOBRIN_ZSTD_WIN to the Windows zstd build (include/, lib/)")
endif()
if(NOT ZOBRIN_PACK)
  message(FATAL_ERROR "set ZOBRIN_PACK to the host zobrin-pack")
endif()

add_library(zobrin_zstd STATIC IMPORTED)
set_target_properties(zobrin_zstd PROPERTIES
  IMPORTED_LOCATION ${ZOBRIN_ZSTD_WIN}/lib/libzstd.a
  INTERFACE_INCLUDE_DIRECTORIES ${ZOBRIN_ZSTD_WIN}/include)

# What every launcher-like executable is linked with: GUI subsystem, 8 MiB stack reserve,
# no DLLs beyond the system's, and the manifest (long paths, asInvoker, common controls 6).
add_library(zobrin_exe_settings INTERFACE)
target_link_options(zobrin_exe_settings INTERFACE
  -static -mwindows -Wl,--stack,8388608 -Wl,--defsym,_setjmp=__intrinsic_setjmp)
target_sources(zobrin_exe_settings INTERFACE ${CMAKE_SOURCE_DIR}/bootstrap/launcher.rc)

set(ZOBRIN_LAUNCHER_OPTIONS -O2 -Wall -Wextra -fno-exceptions -fno-rtti)

# Every launcher module; the entry point (bootstrap/main.cpp) is linked separately.
file(GLOB zobrin_launcher_sources CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/bootstrap/*.cpp ${CMAKE_SOURCE_DIR}/paths/*.cpp
  ${CMAKE_SOURCE_DIR}/cleanup/*.cpp)
list(REMOVE_ITEM zobrin_launcher_sources ${CMAKE_SOURCE_DIR}/bootstrap/main.cpp)
add_library(zobrin_launcher STATIC ${zobrin_launcher_sources})
target_include_directories(zobrin_launcher PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(zobrin_launcher PRIVATE ${ZOBRIN_LAUNCHER_OPTIONS})
target_link_libraries(zobrin_launcher PUBLIC zobrin_zstd)

include(cmake/windows_tests.cmake)

# The sample application: its main DLL and data files, assembled into one directory.
add_library(sample SHARED sample/app/sample_app.cpp)
target_link_options(sample PRIVATE -static -Wl,--defsym,_setjmp=__intrinsic_setjmp)
set_target_properties(sample PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/sample_dll)
add_custom_command(TARGET sample POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/sample_app
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/sample/files ${CMAKE_BINARY_DIR}/sample_app
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:sample> ${CMAKE_BINARY_DIR}/sample_app/sample.dll
  VERBATIM)

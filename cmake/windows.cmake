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
  ${CMAKE_SOURCE_DIR}/base/*.cpp ${CMAKE_SOURCE_DIR}/bootstrap/*.cpp ${CMAKE_SOURCE_DIR}/paths/*.cpp
  ${CMAKE_SOURCE_DIR}/cleanup/*.cpp)
list(REMOVE_ITEM zobrin_launcher_sources ${CMAKE_SOURCE_DIR}/bootstrap/main.cpp)
add_library(zobrin_launcher STATIC ${zobrin_launcher_sources})
target_include_directories(zobrin_launcher PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(zobrin_launcher PRIVATE ${ZOBRIN_LAUNCHER_OPTIONS})
target_link_libraries(zobrin_launcher PUBLIC zobrin_zstd)


# The sample application: its main DLL and data files, assembled into one directory.
add_library(sample SHARED sample/app/sample_app.cpp)
target_link_options(sample PRIVATE -static -Wl,--defsym,_setjmp=__intrinsic_setjmp)
set_target_properties(sample PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/sample_dll)
add_custom_command(TARGET sample POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/sample_app
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/sample/files ${CMAKE_BINARY_DIR}/sample_app
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:sample> ${CMAKE_BINARY_DIR}/sample_app/sample.dll
  VERBATIM)

# The launcher kit beside zobrin-pack: launcher.exe, which `zobrin-pack exe` copies the
# payload into, and what linking it takes (the entry, the launcher modules, zstd, the manifest
# resource, the specs file and the linker script that puts the payload section last).
add_library(zobrin_entry STATIC bootstrap/main.cpp)
target_include_directories(zobrin_entry PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(zobrin_entry PRIVATE ${ZOBRIN_LAUNCHER_OPTIONS})
set(zobrin_kit_dir ${ZOBRIN_BIN_DIR}/launcher)
set(zobrin_resource ${CMAKE_BINARY_DIR}/launcher.res.o)
add_custom_command(OUTPUT ${zobrin_resource}
  COMMAND ${CMAKE_RC_COMPILER} -O coff -I ${CMAKE_SOURCE_DIR}/bootstrap
          ${CMAKE_SOURCE_DIR}/bootstrap/launcher.rc -o ${zobrin_resource}
  DEPENDS ${CMAKE_SOURCE_DIR}/bootstrap/launcher.rc ${CMAKE_SOURCE_DIR}/bootstrap/launcher.manifest
  VERBATIM)
set(ZOBRIN_KIT_STAMP ${zobrin_kit_dir}/.stamp)
add_custom_command(OUTPUT ${ZOBRIN_KIT_STAMP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${zobrin_kit_dir}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:zobrin_entry> ${zobrin_kit_dir}/libzobrin_entry.a
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:zobrin_launcher> ${zobrin_kit_dir}/libzobrin_launcher.a
  COMMAND ${CMAKE_COMMAND} -E copy ${ZOBRIN_ZSTD_WIN}/lib/libzstd.a ${zobrin_kit_dir}/libzstd.a
  COMMAND ${CMAKE_COMMAND} -E copy ${zobrin_resource} ${zobrin_kit_dir}/launcher.res.o
  COMMAND ${CMAKE_COMMAND} -E copy ${ZOBRIN_UCRT_SPECS} ${zobrin_kit_dir}/ucrt.specs
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/payload/payload_last.ld
          ${zobrin_kit_dir}/payload-last.ld
  COMMAND ${ZOBRIN_PACK} launcher -o ${zobrin_kit_dir}/launcher.exe --launcher-dir ${zobrin_kit_dir}
  COMMAND ${CMAKE_COMMAND} -E touch ${ZOBRIN_KIT_STAMP}
  DEPENDS zobrin_entry zobrin_launcher ${zobrin_resource} ${ZOBRIN_ZSTD_WIN}/lib/libzstd.a
          ${CMAKE_SOURCE_DIR}/payload/payload_last.ld ${ZOBRIN_PACK}
  VERBATIM)
add_custom_target(launcher_kit ALL DEPENDS ${ZOBRIN_KIT_STAMP})

# Packs an application directory (or a payload file, with PAYLOAD) into a onefile executable;
# with LINK, the launcher is linked anew for it instead of copied from the kit.
function(zobrin_onefile output)
  cmake_parse_arguments(arg "LINK" "APP_DIR;MAIN;PAYLOAD;LEVEL" "DEPENDS" ${ARGN})
  if(NOT arg_LEVEL)
    set(arg_LEVEL 12)
  endif()
  if(arg_PAYLOAD)
    set(source --payload ${arg_PAYLOAD})
  else()
    set(source ${arg_APP_DIR} --main ${arg_MAIN})
  endif()
  if(arg_LINK)
    list(APPEND source --linker x86_64-w64-mingw32-g++-posix)
  endif()
  add_custom_command(OUTPUT ${output}
    COMMAND ${ZOBRIN_PACK} exe ${source} -o ${output} --launcher-dir ${zobrin_kit_dir}
            --level ${arg_LEVEL}
    DEPENDS ${ZOBRIN_PACK} ${ZOBRIN_KIT_STAMP} ${arg_PAYLOAD} ${arg_DEPENDS}
    VERBATIM)
endfunction()

include(cmake/windows_tests.cmake)
include(cmake/launch_tests.cmake)
include(cmake/examples.cmake)

# ---- Benchmarks: the Windows programs of `make bench` (see cmake/bench.cmake) ----
include(cmake/bench.cmake)

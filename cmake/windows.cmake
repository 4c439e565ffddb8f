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

# The launcher's link flags, defined here only. What every launcher-like executable is linked
# with: GUI subsystem, 8 MiB stack reserve, no DLLs beyond the system's.
set(ZOBRIN_EXE_LINK_FLAGS
  -static -mwindows -Wl,--stack,8388608 -Wl,--defsym,_setjmp=__intrinsic_setjmp)
# What the launcher itself adds (`zobrin-pack launcher` and `--linker` read both lists from the
# kit's launcher.link): the wide entry point, no symbols, and sections starting on page
# boundaries in the file as well as in memory, so the loader can map the payload from the file
# instead of copying it into private memory (Wine copies every section whose file offset is not
# page-aligned, in both processes).
set(ZOBRIN_LAUNCHER_LINK_FLAGS
  -municode -s -Wl,--file-alignment,4096 -Wl,--undefined=wWinMain)

# The flags and the manifest (long paths, asInvoker, common controls 6).
add_library(zobrin_exe_settings INTERFACE)
target_link_options(zobrin_exe_settings INTERFACE ${ZOBRIN_EXE_LINK_FLAGS})
target_sources(zobrin_exe_settings INTERFACE ${CMAKE_SOURCE_DIR}/run/launcher.rc)

# How the launcher and the programs built like it are compiled: optimised, warnings on, no
# exceptions or run-time type information.
add_library(zobrin_launcher_options INTERFACE)
target_compile_options(zobrin_launcher_options INTERFACE
  -O2 -Wall -Wextra -fno-exceptions -fno-rtti)

# The launcher's folders, each a library of its own, lowest first: format/ (the payload's
# layout, shared with the packer, no system calls), base/, paths/, cleanup/, payload/ (the
# image and its stream), extract/ (extraction, the payload directory, its place and the
# cache), run/ (the entry's driver, roles, launch and splash). A folder's code sees only its
# own headers and those of the folders named below it: each folder is reached through a
# directory of its own in the build tree (build/win/layers/<folder>/<folder>, a link to the
# source folder), and a library's include path holds only those directories, never the
# repository root. An include of a higher folder ("run/..." in extract/) is then not found,
# and the build fails.
include(cmake/format_sources.cmake)
set(zobrin_format_sources ${ZOBRIN_FORMAT_SOURCES})
set(zobrin_format_below)
set(zobrin_base_sources base/error_box.cpp base/fatal.cpp base/own_image.cpp base/progress_line.cpp
  base/ring.cpp base/thread.cpp base/thread_pool.cpp base/wide_text.cpp)
set(zobrin_base_below format)
set(zobrin_paths_sources paths/app_template.cpp paths/env.cpp paths/path_utils.cpp paths/shell.cpp
  paths/template.cpp)
set(zobrin_paths_below format base)
set(zobrin_cleanup_sources
  cleanup/child_slot.cpp cleanup/file_closer.cpp cleanup/gate.cpp cleanup/held_files.cpp
  cleanup/remove_tree.cpp
  cleanup/remove_written.cpp cleanup/shutdown.cpp cleanup/sweep.cpp)
set(zobrin_cleanup_below format base)
set(zobrin_payload_sources payload/payload_ahead.cpp payload/payload_decoder.cpp
  payload/payload_frames.cpp payload/payload_image.cpp payload/payload_reader.cpp)
set(zobrin_payload_below format base)
set(zobrin_extract_sources extract/cache.cpp extract/cache_verify.cpp extract/extract.cpp
  extract/payload_directory.cpp extract/place.cpp extract/place_folder.cpp
  extract/table_names.cpp)
set(zobrin_extract_below format base paths cleanup payload)
# The entry point (run/main.cpp) is linked separately.
set(zobrin_run_sources run/app_settings.cpp run/command_line.cpp run/driver.cpp run/launch.cpp
  run/launch_ahead.cpp run/missing_dll.cpp run/role.cpp run/splash.cpp)
set(zobrin_run_below format base paths cleanup payload extract)
set(zobrin_layers format base paths cleanup payload extract run)
foreach(layer ${zobrin_layers})
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/layers/${layer})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${layer} ${CMAKE_BINARY_DIR}/layers/${layer}/${layer}
       SYMBOLIC)
endforeach()

# zobrin_launcher goes into the kit; zobrin_launcher_testing, the same modules built for the
# test and benchmark programs (ZOBRIN_TESTING), which also routes a set of Win32 calls through
# the fault seam, failing a chosen call on request (base/fault_seam.h); the kit's launcher
# never contains it.
foreach(variant zobrin_launcher zobrin_launcher_testing)
  set(objects)
  foreach(layer ${zobrin_layers})
    set(target ${variant}_${layer})
    add_library(${target} OBJECT ${zobrin_${layer}_sources})
    target_include_directories(${target} PUBLIC ${CMAKE_BINARY_DIR}/layers/${layer})
    target_link_libraries(${target} PUBLIC zobrin_zstd PRIVATE zobrin_launcher_options)
    foreach(below ${zobrin_${layer}_below})
      target_link_libraries(${target} PUBLIC ${variant}_${below})
    endforeach()
    if(variant STREQUAL zobrin_launcher_testing)
      target_compile_definitions(${target} PUBLIC ZOBRIN_TESTING)
      target_compile_options(${target} PRIVATE -include ${CMAKE_SOURCE_DIR}/base/fault_seam.h)
    endif()
    list(APPEND objects $<TARGET_OBJECTS:${target}>)
  endforeach()
  # The archive of every layer's objects; its users see every folder.
  add_library(${variant} STATIC ${objects})
  list(TRANSFORM zobrin_layers PREPEND ${CMAKE_BINARY_DIR}/layers/ OUTPUT_VARIABLE roots)
  target_include_directories(${variant} INTERFACE ${roots})
  target_link_libraries(${variant} INTERFACE zobrin_zstd)
endforeach()
target_compile_definitions(zobrin_launcher_testing INTERFACE ZOBRIN_TESTING)
target_sources(zobrin_launcher_testing_base PRIVATE base/fault_seam.cpp)

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
add_library(zobrin_entry STATIC run/main.cpp)
target_include_directories(zobrin_entry PRIVATE
  ${CMAKE_BINARY_DIR}/layers/format ${CMAKE_BINARY_DIR}/layers/base
  ${CMAKE_BINARY_DIR}/layers/run)
target_link_libraries(zobrin_entry PRIVATE zobrin_launcher_options)
target_compile_definitions(zobrin_entry PRIVATE ZOBRIN_VERSION="${PROJECT_VERSION}")
set(zobrin_kit_dir ${ZOBRIN_BIN_DIR}/launcher)
set(zobrin_resource ${CMAKE_BINARY_DIR}/launcher.res.o)
add_custom_command(OUTPUT ${zobrin_resource}
  COMMAND ${CMAKE_RC_COMPILER} -O coff -I ${CMAKE_SOURCE_DIR}/run
          ${CMAKE_SOURCE_DIR}/run/launcher.rc -o ${zobrin_resource}
  DEPENDS ${CMAKE_SOURCE_DIR}/run/launcher.rc ${CMAKE_SOURCE_DIR}/run/launcher.manifest
  VERBATIM)
set(zobrin_link_flags_file ${CMAKE_BINARY_DIR}/launcher.link)
list(JOIN ZOBRIN_EXE_LINK_FLAGS "\n" zobrin_exe_flags_text)
list(JOIN ZOBRIN_LAUNCHER_LINK_FLAGS "\n" zobrin_launcher_flags_text)
file(CONFIGURE OUTPUT ${zobrin_link_flags_file} CONTENT
  "# The launcher's link flags, one a line (written by the build from cmake/windows.cmake).\n${zobrin_exe_flags_text}\n${zobrin_launcher_flags_text}\n")
set(ZOBRIN_KIT_STAMP ${zobrin_kit_dir}/.stamp)
add_custom_command(OUTPUT ${ZOBRIN_KIT_STAMP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${zobrin_kit_dir}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:zobrin_entry> ${zobrin_kit_dir}/libzobrin_entry.a
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:zobrin_launcher> ${zobrin_kit_dir}/libzobrin_launcher.a
  COMMAND ${CMAKE_COMMAND} -E copy ${ZOBRIN_ZSTD_WIN}/lib/libzstd.a ${zobrin_kit_dir}/libzstd.a
  COMMAND ${CMAKE_COMMAND} -E copy ${zobrin_resource} ${zobrin_kit_dir}/launcher.res.o
  COMMAND ${CMAKE_COMMAND} -E copy ${ZOBRIN_UCRT_SPECS} ${zobrin_kit_dir}/ucrt.specs
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/packer/payload_last.ld
          ${zobrin_kit_dir}/payload-last.ld
  COMMAND ${CMAKE_COMMAND} -E copy ${zobrin_link_flags_file} ${zobrin_kit_dir}/launcher.link
  COMMAND ${ZOBRIN_PACK} launcher -o ${zobrin_kit_dir}/launcher.exe --launcher-dir ${zobrin_kit_dir}
  COMMAND ${CMAKE_COMMAND} -E touch ${ZOBRIN_KIT_STAMP}
  DEPENDS zobrin_entry zobrin_launcher ${zobrin_resource} ${ZOBRIN_ZSTD_WIN}/lib/libzstd.a
          ${CMAKE_SOURCE_DIR}/packer/payload_last.ld ${zobrin_link_flags_file} ${ZOBRIN_PACK}
  VERBATIM)
add_custom_target(launcher_kit ALL DEPENDS ${ZOBRIN_KIT_STAMP})

# Packs an application directory (or a payload file, with PAYLOAD) into a onefile executable;
# with LINK, the launcher is linked anew for it instead of copied from the kit. ARGS: more
# options of `zobrin-pack exe` (--console, --icon, version information).
function(zobrin_onefile output)
  cmake_parse_arguments(arg "LINK" "APP_DIR;MAIN;PAYLOAD;LEVEL;KIT;KIT_STAMP" "DEPENDS;ARGS" ${ARGN})
  if(NOT arg_LEVEL)
    set(arg_LEVEL 12)
  endif()
  # KIT and KIT_STAMP: another launcher kit (the test kits) instead of the one beside zobrin-pack.
  if(NOT arg_KIT)
    set(arg_KIT ${zobrin_kit_dir})
    set(arg_KIT_STAMP ${ZOBRIN_KIT_STAMP})
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
    COMMAND ${ZOBRIN_PACK} exe ${source} -o ${output} --launcher-dir ${arg_KIT}
            --level ${arg_LEVEL} ${arg_ARGS}
    DEPENDS ${ZOBRIN_PACK} ${arg_KIT_STAMP} ${arg_PAYLOAD} ${arg_DEPENDS}
    VERBATIM)
endfunction()

include(cmake/windows_tests.cmake)
include(cmake/launch_tests.cmake)
include(cmake/place_tests.cmake)
include(cmake/args_tests.cmake)
include(cmake/examples.cmake)
include(cmake/layout_tests.cmake)
include(cmake/windows_packer.cmake)
include(cmake/fault_tests.cmake)
include(cmake/splash_tests.cmake)

# ---- Benchmarks: the Windows programs of `make bench` (see cmake/bench.cmake) ----
include(cmake/bench.cmake)

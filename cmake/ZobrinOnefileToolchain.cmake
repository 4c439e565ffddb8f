# A CMake toolchain file for application projects built against this installation: mingw-w64
# x86_64 (Debian's POSIX-threads compilers) linking the Universal CRT through the kit's specs
# file. Installed beside the package, which it makes findable in every
# CMAKE_FIND_ROOT_PATH_MODE_PACKAGE mode:
#
#   cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=PREFIX/lib/cmake/ZobrinOnefile/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# This installation's prefix is a root of its own, so find_package(ZobrinOnefile) finds it in
# ONLY mode as in the others.
get_filename_component(_zobrin_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${_zobrin_prefix}")
list(APPEND CMAKE_PREFIX_PATH "${_zobrin_prefix}")

# Quoted: the flags are command-line text, and the path may hold blanks.
set(_zobrin_specs_flag "\"-specs=${_zobrin_prefix}/lib/zobrin-onefile/launcher/ucrt.specs\"")
set(CMAKE_C_FLAGS_INIT "${_zobrin_specs_flag} -D_UCRT")
set(CMAKE_CXX_FLAGS_INIT "${_zobrin_specs_flag} -D_UCRT")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_zobrin_specs_flag}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_zobrin_specs_flag}")

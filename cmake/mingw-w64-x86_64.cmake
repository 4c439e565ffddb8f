# Cross toolchain: mingw-w64 x86_64 (POSIX threads) linked against the Universal CRT.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The compiler's own specs link msvcrt; this copy links the Universal CRT instead.
if(NOT ZOBRIN_UCRT_SPECS)
  set(ZOBRIN_UCRT_SPECS ${CMAKE_BINARY_DIR}/ucrt.specs)
endif()
if(NOT EXISTS ${ZOBRIN_UCRT_SPECS})
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/ucrt-specs.sh ${ZOBRIN_UCRT_SPECS}
                  RESULT_VARIABLE zobrin_specs_result)
  if(NOT zobrin_specs_result EQUAL 0)
    message(FATAL_ERROR "cannot write ${ZOBRIN_UCRT_SPECS}")
  endif()
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZOBRIN_UCRT_SPECS)

# Quoted: the flags are command-line text, and the path may hold blanks.
set(zobrin_specs_flag "\"-specs=${ZOBRIN_UCRT_SPECS}\"")
set(CMAKE_C_FLAGS_INIT "${zobrin_specs_flag} -D_UCRT")
set(CMAKE_CXX_FLAGS_INIT "${zobrin_specs_flag} -D_UCRT")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${zobrin_specs_flag}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${zobrin_specs_flag}")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)

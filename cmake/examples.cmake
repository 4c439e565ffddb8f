# The examples under examples/: each application directory is assembled below
# build/win/examples/, packed with zobrin-pack into tests/example_*.exe and run by win_tests
# (tests/win/examples_test.cpp).
set(zobrin_examples ${CMAKE_BINARY_DIR}/examples)

# hello_c: a C main DLL, linked statically like the launcher (Universal CRT only), with its
# data file.
add_library(hello_c SHARED examples/hello_c/hello.c)
target_include_directories(hello_c PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_options(hello_c PRIVATE -Wall -Wextra)
target_link_options(hello_c PRIVATE -static -Wl,--defsym,_setjmp=__intrinsic_setjmp)
set_target_properties(hello_c PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${zobrin_examples}/dll)
add_custom_command(OUTPUT ${zobrin_examples}/hello_c.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${zobrin_examples}/hello_c
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/examples/hello_c/data
          ${zobrin_examples}/hello_c/data
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:hello_c> ${zobrin_examples}/hello_c/hello_c.dll
  COMMAND ${CMAKE_COMMAND} -E touch ${zobrin_examples}/hello_c.stamp
  DEPENDS hello_c ${CMAKE_SOURCE_DIR}/examples/hello_c/data/greeting.txt
  VERBATIM)
zobrin_onefile(${ZOBRIN_TEST_DIR}/example_hello_c.exe APP_DIR ${zobrin_examples}/hello_c
  MAIN hello_c.dll DEPENDS ${zobrin_examples}/hello_c.stamp)

# cpp_dlls: a C++ main DLL linked against libstdc++'s DLLs (no -static), which are copied from
# the toolchain into the application directory beside it, without their debugging symbols
# (libstdc++-6.dll: 23 MB as Debian ships it, about 2 MB stripped).
add_library(cpp_dlls SHARED examples/cpp_dlls/main.cpp)
target_include_directories(cpp_dlls PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_options(cpp_dlls PRIVATE -Wall -Wextra)
set_target_properties(cpp_dlls PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${zobrin_examples}/dll)
set(zobrin_runtime_dlls)
set(zobrin_runtime_copies)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know ${dll}")
  endif()
  list(APPEND zobrin_runtime_dlls ${path})
  list(APPEND zobrin_runtime_copies
    COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${zobrin_examples}/cpp_dlls/${dll} ${path})
endforeach()
add_custom_command(OUTPUT ${zobrin_examples}/cpp_dlls.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${zobrin_examples}/cpp_dlls
  COMMAND ${CMAKE_COMMAND} -E make_directory ${zobrin_examples}/cpp_dlls
  ${zobrin_runtime_copies}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:cpp_dlls> ${zobrin_examples}/cpp_dlls/cpp_dlls.dll
  COMMAND ${CMAKE_COMMAND} -E touch ${zobrin_examples}/cpp_dlls.stamp
  DEPENDS cpp_dlls ${zobrin_runtime_dlls}
  VERBATIM)
zobrin_onefile(${ZOBRIN_TEST_DIR}/example_cpp_dlls.exe APP_DIR ${zobrin_examples}/cpp_dlls
  MAIN cpp_dlls.dll DEPENDS ${zobrin_examples}/cpp_dlls.stamp)

add_custom_target(examples ALL
  DEPENDS ${ZOBRIN_TEST_DIR}/example_hello_c.exe ${ZOBRIN_TEST_DIR}/example_cpp_dlls.exe)
add_dependencies(win_tests examples)

# zobrin/app.h turns a wrong run_code signature into a compile error, in C and in C++.
add_test(NAME app_header_signature
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_app_header.sh ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER}
          ${ZOBRIN_UCRT_SPECS} ${CMAKE_SOURCE_DIR}/include)

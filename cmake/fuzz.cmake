# Fuzz tree (build/fuzz): coverage-guided fuzzers of the payload reader and the argument
# quoting, built natively with clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer.
# Configured through tests/fuzz/CMakeLists.txt with CMAKE_CXX_COMPILER=clang++.
find_package(zstd CONFIG REQUIRED)

set(ZOBRIN_FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)

# name: the fuzzer's name; the rest: its sources below the project root.
function(zobrin_fuzzer name)
  list(TRANSFORM ARGN PREPEND ${ZOBRIN_ROOT}/)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${ZOBRIN_ROOT})
  target_compile_definitions(${name} PRIVATE ZOBRIN_TESTING)
  target_compile_options(${name} PRIVATE -g -O1 -Wall -Wextra ${ZOBRIN_FUZZ_FLAGS})
  target_link_options(${name} PRIVATE ${ZOBRIN_FUZZ_FLAGS})
endfunction()

zobrin_fuzzer(payload_reader_fuzz
  tests/fuzz/payload_reader_fuzz.cpp tests/fuzz/fatal_jump.cpp tests/fuzz/no_read_ahead.cpp
  payload/payload_reader.cpp payload/payload_decoder.cpp format/payload_table.cpp)
target_link_libraries(payload_reader_fuzz PRIVATE zstd::libzstd_shared)

zobrin_fuzzer(command_line_fuzz tests/fuzz/command_line_fuzz.cpp run/command_line.cpp
  base/wide_text.cpp)

# Replays every input the fuzzers found (tests/fuzz/regressions/<target>/) through the same
# harnesses in the host tree, with g++, AddressSanitizer and UndefinedBehaviorSanitizer.
set(ZOBRIN_REPLAY_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined)

# target: the harness's name (its regression folder); the rest: its sources.
function(zobrin_fuzz_replay target)
  add_executable(replay_${target} tests/fuzz/replay_main.cpp ${ARGN})
  target_include_directories(replay_${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(replay_${target} PRIVATE ZOBRIN_TESTING)
  target_compile_options(replay_${target} PRIVATE -g ${ZOBRIN_REPLAY_FLAGS})
  target_link_options(replay_${target} PRIVATE ${ZOBRIN_REPLAY_FLAGS})
  add_test(NAME fuzz_regressions_${target}
    COMMAND replay_${target} ${CMAKE_SOURCE_DIR}/tests/fuzz/regressions/${target})
endfunction()

zobrin_fuzz_replay(payload_reader
  tests/fuzz/payload_reader_fuzz.cpp tests/fuzz/fatal_jump.cpp tests/fuzz/no_read_ahead.cpp
  payload/payload_reader.cpp payload/payload_decoder.cpp format/payload_table.cpp)
target_link_libraries(replay_payload_reader PRIVATE zstd::libzstd_shared)

zobrin_fuzz_replay(command_line tests/fuzz/command_line_fuzz.cpp run/command_line.cpp
  base/wide_text.cpp)

# For `make fuzz`: writes a minimal 64-bit DLL exporting run_code, so the packer can build
# valid payloads as seeds.
add_executable(fuzz-seed-dll tests/fuzz/seed_dll.cpp tests/host/pe_builder.cpp)
target_include_directories(fuzz-seed-dll PRIVATE ${CMAKE_SOURCE_DIR})

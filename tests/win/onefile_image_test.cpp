// The onefile executable's image as the system's own tools read it.
#include <windows.h>

#include <imagehlp.h>

#include <gtest/gtest.h>

#include "tests/win/support/run_process.h"

// The header checksum of every executable, whether the linker wrote it (the kit's launcher)
// or the packer after growing the payload section, is the one the system computes.
TEST(OnefileImage, HeaderChecksumIsTheOneTheSystemComputes) {
  const wchar_t* names[] = {L"kit_launcher.exe", L"e2e_echo.exe", L"e2e_echo_linked.exe",
                            L"e2e_big.exe", L"e2e_second_string.exe"};
  for (const wchar_t* name : names) {
    std::wstring path = test_dir() + name;
    DWORD header = 0, computed = 0;
    ASSERT_EQ(MapFileAndCheckSumW(path.c_str(), &header, &computed), (DWORD)CHECKSUM_SUCCESS)
        << utf8(path);
    EXPECT_NE(header, 0u) << utf8(name);
    EXPECT_EQ(header, computed) << utf8(name);
  }
}

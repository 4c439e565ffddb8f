// The onefile executable's image as the system's own tools read it.
#include <windows.h>

#include <imagehlp.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "tests/win/support/run_process.h"

// The header checksum of every executable, whether the linker wrote it (the kit's launcher)
// or the packer after growing the payload section, is the one the system computes.
TEST(OnefileImage, HeaderChecksumIsTheOneTheSystemComputes) {
  const wchar_t* names[] = {L"kit_launcher.exe", L"e2e_echo.exe", L"e2e_echo_linked.exe",
                            L"e2e_big.exe", L"e2e_second_string.exe", L"e2e_console.exe",
                            L"e2e_dressed.exe", L"e2e_echo_signed.exe", L"e2e_dressed_signed.exe"};
  for (const wchar_t* name : names) {
    std::wstring path = test_dir() + name;
    DWORD header = 0, computed = 0;
    ASSERT_EQ(MapFileAndCheckSumW(path.c_str(), &header, &computed), (DWORD)CHECKSUM_SUCCESS)
        << utf8(path);
    EXPECT_NE(header, 0u) << utf8(name);
    EXPECT_EQ(header, computed) << utf8(name);
  }
}

// The version information and the icon as Windows' file properties read them (version.dll,
// shell32), signed or not; an executable packed without them has none.
TEST(OnefileImage, VersionInformationAndIconAsTheSystemReadsThem) {
  for (const wchar_t* name : {L"e2e_dressed.exe", L"e2e_dressed_signed.exe"}) {
    SCOPED_TRACE(utf8(name));
    std::wstring path = test_dir() + name;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00030004u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwFileType, (DWORD)VFT_APP);
    DWORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(*translation, 0x04B00409u);
    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        {L"ProductName", L"Zobrin Test App"}, {L"CompanyName", L"Caf\u00e9 Tests"},
        {L"FileVersion", L"1.2.3.4"}, {L"ProductVersion", L"1.2.3.4"},
        {L"FileDescription", L"An application for tests"},
        {L"LegalCopyright", L"\u00a9 2026 Zobrin tests"}, {L"OriginalFilename", L"e2e_dressed.exe"}};
    for (const auto& s : strings) {
      std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + s.first;
      wchar_t* value = nullptr;
      ASSERT_TRUE(VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
          << utf8(s.first);
      EXPECT_EQ(std::wstring(value), s.second) << utf8(s.first);
    }
    EXPECT_EQ(ExtractIconExW(path.c_str(), -1, nullptr, nullptr, 0), 1u) << "one icon group";
    HICON large = nullptr;
    ASSERT_EQ(ExtractIconExW(path.c_str(), 0, &large, nullptr, 1), 1u);
    ICONINFO icon = {};
    ASSERT_TRUE(GetIconInfo(large, &icon));
    BITMAP bitmap = {};
    GetObjectW(icon.hbmColor, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, 32) << "the 32-pixel image as the large icon";
    DeleteObject(icon.hbmColor);
    DeleteObject(icon.hbmMask);
    DestroyIcon(large);
  }
  std::wstring plain = test_dir() + L"e2e_echo.exe";
  DWORD handle = 0;
  EXPECT_EQ(GetFileVersionInfoSizeW(plain.c_str(), &handle), 0u);
  EXPECT_EQ(ExtractIconExW(plain.c_str(), -1, nullptr, nullptr, 0), 0u);
}

// The payload directory as the parent creates it: new only, and open to this user only, with
// everything below it inheriting that.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <windows.h>

#include <vector>

#include "extract/payload_directory.h"
#include "run/role.h"
#include "tests/win/cleanup_tree.h"
#include "tests/win/paths_test_util.h"

namespace {

std::vector<unsigned char> own_user_sid() {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  unsigned char buffer[256];
  DWORD needed = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed));
  CloseHandle(token);
  PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  const unsigned char* bytes = static_cast<const unsigned char*>(sid);
  return std::vector<unsigned char>(bytes, bytes + GetLengthSid(sid));
}

struct Entry {
  BYTE type, flags;
  ACCESS_MASK mask;
  std::vector<unsigned char> sid;
};

struct Dacl {
  bool read = false;
  bool is_protected = false;
  std::vector<Entry> entries;
};

Dacl dacl_of(PSECURITY_DESCRIPTOR descriptor, PACL dacl) {
  Dacl d;
  if (dacl == nullptr) return d;
  d.read = true;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  d.is_protected = (control & SE_DACL_PROTECTED) != 0;
  for (DWORD i = 0; i < dacl->AceCount; i++) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) break;
    ACE_HEADER* header = static_cast<ACE_HEADER*>(ace);
    Entry e{header->AceType, header->AceFlags, 0, {}};
    if (e.type == ACCESS_ALLOWED_ACE_TYPE) {
      ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      e.mask = allowed->Mask;
      const unsigned char* sid = reinterpret_cast<const unsigned char*>(&allowed->SidStart);
      e.sid.assign(sid, sid + GetLengthSid(const_cast<unsigned char*>(sid)));
    }
    d.entries.push_back(e);
  }
  return d;
}

// The DACL of `path` as GetSecurityInfo reads it back.
Dacl read_dacl(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Dacl();
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &dacl, nullptr, &descriptor);
  CloseHandle(h);
  if (error != ERROR_SUCCESS) return Dacl();
  Dacl d = dacl_of(descriptor, dacl);
  LocalFree(descriptor);
  return d;
}

bool under_wine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

const BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// What the launcher hands to CreateDirectoryW.
TEST(PayloadDirectory, DescriptorGivesTheUserAloneFullControlInheritedBelow) {
  PayloadDirectorySecurity security;
  ASSERT_EQ(payload_directory_security(&security), 0ul);
  EXPECT_TRUE(IsValidSecurityDescriptor(&security.descriptor));
  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(&security.descriptor, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_FALSE(defaulted);
  Dacl d = dacl_of(&security.descriptor, dacl);
  EXPECT_TRUE(d.is_protected);
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_EQ(d.entries[0].type, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(d.entries[0].flags, kInherit);
  EXPECT_EQ(d.entries[0].mask, (ACCESS_MASK)FILE_ALL_ACCESS);
  EXPECT_TRUE(d.entries[0].sid == own_user_sid());
}

// Read back from the disk. Wine keeps no descriptor: it maps it to Unix mode bits and makes
// one up from them when asked (the user and SYSTEM, and Everyone when others have any bit),
// and files made inside get the default mode. What it shows: no one but the user (and
// SYSTEM, which Wine always lists) is let in. Windows shows the descriptor itself, and the
// one inherited entry on a file inside.
TEST(PayloadDirectory, ReadBackLetsInOnlyTheUser) {
  std::wstring root = tree_fresh(L"private");
  std::wstring dir = root + L"\\onefile_1_2_3";
  ASSERT_EQ(payload_directory_create(dir.c_str()), 0ul);
  tree_file(dir + L"\\file.txt");
  std::vector<unsigned char> user = own_user_sid();
  unsigned char system_sid[SECURITY_MAX_SID_SIZE];
  DWORD system_size = sizeof system_sid;
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &system_size));

  Dacl d = read_dacl(dir);
  ASSERT_TRUE(d.read);
  bool user_full = false;
  for (const Entry& e : d.entries) {
    EXPECT_EQ(e.type, ACCESS_ALLOWED_ACE_TYPE);
    bool is_user = e.sid == user;
    bool is_system = EqualSid(const_cast<unsigned char*>(e.sid.data()), system_sid) != FALSE;
    EXPECT_TRUE(is_user || (under_wine() && is_system)) << "another SID is let in";
    if (is_user && e.mask == (ACCESS_MASK)FILE_ALL_ACCESS) user_full = true;
  }
  EXPECT_TRUE(user_full);
  if (under_wine()) {
    if (!::testing::Test::HasFailure()) tree_wipe(root);
    return;
  }
  EXPECT_TRUE(d.is_protected);
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_EQ(d.entries[0].flags, kInherit);
  Dacl file = read_dacl(dir + L"\\file.txt");
  ASSERT_EQ(file.entries.size(), 1u);
  EXPECT_EQ(file.entries[0].flags, (BYTE)INHERITED_ACE);
  EXPECT_EQ(file.entries[0].mask, (ACCESS_MASK)FILE_ALL_ACCESS);
  EXPECT_TRUE(file.entries[0].sid == user);
  if (!::testing::Test::HasFailure()) tree_wipe(root);
}

TEST(PayloadDirectory, AnythingAlreadyThereIsNeverUsed) {
  std::wstring root = tree_fresh(L"taken");
  tree_dir(root + L"\\dir");
  tree_file(root + L"\\file");
  struct Row {
    const wchar_t* name;
    unsigned long error;
  } rows[] = {
      {L"\\dir", ERROR_ALREADY_EXISTS},
      {L"\\file", ERROR_ALREADY_EXISTS},
      {L"\\missing\\below", ERROR_PATH_NOT_FOUND},  // the temporary directory is not made
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.name));
    EXPECT_EQ(payload_directory_create((root + row.name).c_str()), row.error);
  }
  // The taken directory keeps what it had: nothing was put in it or changed.
  EXPECT_FALSE(read_dacl(root + L"\\dir").is_protected);
  EXPECT_FALSE(tree_exists(root + L"\\missing"));
  if (!::testing::Test::HasFailure()) tree_wipe(root);
}

// The process a launcher starts names it as its creator.
TEST(RoleCreator, AStartedProcessNamesItsStarter) {
  ProcessResult r = run_process(paths_probe(), {L"creator"});
  ASSERT_EQ(r.code, 0u);
  EXPECT_EQ(output_lines(r.out).at(0), "1|" + std::to_string(GetCurrentProcessId()));
}

}  // namespace

// Path template expansion: names, literals, bounds, and the values published for reuse.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <stdlib.h>

#include "paths/template.h"
#include "tests/win/paths_test_util.h"

namespace {

const wchar_t kPayloadTemplate[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
const wchar_t kGuard = 0x7E7E;

struct Expansion {
  bool ok;
  std::wstring text;
};

// Expands into a buffer of `capacity` units followed by guard units that must stay intact.
Expansion expand(const wchar_t* path_template, unsigned capacity = 4096) {
  std::vector<wchar_t> buffer(capacity + 8, kGuard);
  Expansion e;
  e.ok = template_expand(buffer.data(), path_template, capacity);
  for (unsigned i = capacity; i < buffer.size(); i++) {
    EXPECT_EQ(buffer[i], kGuard) << "written past the capacity at " << i;
  }
  e.text = buffer.data();
  return e;
}

std::wstring folder(int id) {
  wchar_t path[MAX_PATH];
  EXPECT_EQ(SHGetFolderPathW(nullptr, id, nullptr, 0, path), S_OK);
  return path;
}

std::wstring own_pid() { return std::to_wstring(GetCurrentProcessId()); }

bool all_digits(const std::wstring& s) {
  for (wchar_t c : s) {
    if (c < L'0' || c > L'9') return false;
  }
  return true;
}

bool base64url(const std::wstring& s) {
  const std::wstring alphabet =
      L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  return s.find_first_not_of(alphabet) == std::wstring::npos;
}

// The published values and the parent id fixed, the temporary directory at C:\zb temp.
struct FixedEnvironment {
  ScopedEnv tmp{L"TMP", L"C:\\zb temp\\"};
  ScopedEnv temp{L"TEMP", L"C:\\zb temp\\"};
  ScopedEnv random{L"ZOBRIN_ONEFILE_RANDOM", L"RandomValue"};
  ScopedEnv time_us{L"ZOBRIN_ONEFILE_TIME_US", L"012345"};
  ScopedEnv start{L"ZOBRIN_ONEFILE_START", L"777"};
  ScopedEnv parent{L"ZOBRIN_ONEFILE_PARENT", L"000123"};
};

TEST(TemplateExpand, NamesLiteralsAndPlaceholders) {
  FixedEnvironment env;
  const std::wstring home = folder(CSIDL_PROFILE);
  const std::wstring cache = folder(CSIDL_LOCAL_APPDATA);
  const std::wstring long_name(1023, L'P');  // longer than any name; the buffer holds 1023
  struct Row {
    std::wstring path_template;
    bool ok;
    std::wstring text;
  } rows[] = {
      {L"", true, L""},
      {L"no placeholder \\ here", true, L"no placeholder \\ here"},
      {L"{TEMP}\\x", true, L"C:\\zb temp\\x"},
      {L"{temp}\\x", true, L"C:\\zb temp\\x"},
      {L"{Temp}", true, L"C:\\zb temp"},
      {L"{random}|{Time_Us}|{tIME}|{pid}", true, L"RandomValue|012345|777|000123"},
      {L"{HOME}", true, home},
      {L"{cache_dir}\\c", true, cache + L"\\c"},
      {L"ab{TEMP", true, L"ab"},        // unterminated: the name is dropped
      {L"ab{", true, L"ab"},
      {L"{X{TEMP}", true, L"C:\\zb temp"},  // "{" restarts the name
      {L"a{{PID}b", true, L"a000123b"},
      {L"a}b", true, L"a}b"},            // "}" outside a placeholder is a literal
      {L"a{}b", false, L"a"},
      {L"a{NOPE}b", false, L"a"},
      {L"a{TEMP }b", false, L"a"},       // the whole name must match
      {L"a{TEMPX}b", false, L"a"},
      {L"x{PID}{PROGRAMS}", false, L"x000123"},
      {L"a{" + long_name + L"}", false, L"a"},
      {L"a{" + long_name + L"PID}", false, L"a"},
      {L"a{" + long_name + L"P", true, L"a"},
      {L"a{" + long_name + L"{PID}", true, L"a000123"},
  };
  for (const Row& row : rows) {
    Expansion e = expand(row.path_template.c_str());
    EXPECT_EQ(e.ok, row.ok) << utf8(row.path_template);
    EXPECT_EQ(e.text, row.text) << utf8(row.path_template);
  }
}

TEST(TemplateExpand, CapacityHoldsTheTextAndItsTerminator) {
  for (unsigned capacity : {1u, 2u, 7u, 4096u}) {
    std::wstring fits(capacity - 1, L'a');
    Expansion e = expand(fits.c_str(), capacity);
    EXPECT_TRUE(e.ok) << capacity;
    EXPECT_EQ(e.text, fits);
    Expansion over = expand((fits + L"b").c_str(), capacity);
    EXPECT_FALSE(over.ok) << capacity;
    EXPECT_EQ(over.text, fits);
  }
}

TEST(TemplateExpand, TemporaryDirectoryLosesItsTrailingBackslashes) {
  struct Row {
    const wchar_t* tmp;
    const wchar_t* path_template;
    unsigned capacity;
    bool ok;
    std::wstring text;
  } rows[] = {
      {L"C:\\zb", L"{TEMP}\\x", 4096, true, L"C:\\zb\\x"},
      {L"C:\\zb\\\\\\", L"{TEMP}\\x", 4096, true, L"C:\\zb\\x"},
      {L"C:\\", L"{TEMP}\\x", 4096, true, L"C:\\x"},
      // Exactly fits ("C:\zb\" and the NUL): written, then the backslash goes.
      {L"C:\\zb", L"{TEMP}", 7, true, L"C:\\zb"},
      // Does not fit: a failure (the payload would land in the drive's root), with the text
      // written before it, backslashes included.
      {L"C:\\zb", L"{TEMP}", 6, false, L""},
      {L"C:\\zb", L"ab\\\\{TEMP}", 8, false, L"ab\\\\"},
      {L"C:\\zb", L"x{TEMP}y", 4, false, L"x"},
      {L"C:\\zb", L"\\\\{TEMP}", 3, false, L"\\\\"},
  };
  for (const Row& row : rows) {
    ScopedEnv tmp(L"TMP", row.tmp);
    Expansion e = expand(row.path_template, row.capacity);
    EXPECT_EQ(e.ok, row.ok) << utf8(row.tmp) << " " << row.capacity;
    EXPECT_EQ(e.text, row.text) << utf8(row.tmp) << " " << row.capacity;
  }
}

TEST(TemplateExpand, ProgramBaseAndDirectoryForms) {
  struct Row {
    const wchar_t* argv0;
    const wchar_t* base;
    const wchar_t* directory;
  } rows[] = {
      {L"C:\\dir\\app.exe", L"C:\\dir\\app", L"C:\\dir"},
      {L"C:\\dir\\APP.EXE", L"C:\\dir\\APP", L"C:\\dir"},
      {L"rel\\app.ExE", L"rel\\app", L"rel"},
      {L".exe", L"", L".exe"},
      {L"exe", L"exe", L"exe"},
      {L"app", L"app", L"app"},
      {L"app.exe.txt", L"app.exe.txt", L"app.exe.txt"},
      {L"C:/dir/app.exe", L"C:/dir/app", L"C:/dir/app.exe"},
      {L"C:\\dir.exe\\app", L"C:\\dir.exe\\app", L"C:\\dir.exe"},
      {L"\\app.exe", L"\\app", L""},
  };
  wchar_t** argv = *__p___wargv();
  wchar_t* real_argv0 = argv[0];
  for (const Row& row : rows) {
    argv[0] = const_cast<wchar_t*>(row.argv0);
    Expansion program = expand(L"<{PROGRAM}>");
    Expansion base = expand(L"<{PROGRAM_BASE}>");
    Expansion directory = expand(L"<{program_dir}>");
    Expansion own = expand(L"<{Exe_Dir}>");
    argv[0] = real_argv0;
    // The executable's own folder, whatever argument 0 says.
    wchar_t module[MAX_PATH];
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    *wcsrchr(module, L'\\') = L'\0';
    EXPECT_EQ(utf8(own.text), "<" + utf8(module) + ">");
    EXPECT_TRUE(own.ok);
    EXPECT_EQ(program.text, L"<" + std::wstring(row.argv0) + L">");
    EXPECT_EQ(base.text, L"<" + std::wstring(row.base) + L">") << utf8(row.argv0);
    EXPECT_EQ(directory.text, L"<" + std::wstring(row.directory) + L">") << utf8(row.argv0);
    EXPECT_TRUE(program.ok && base.ok && directory.ok);
  }
}

TEST(TemplateExpand, PidComesFromTheParentVariableVerbatim) {
  struct Row {
    const wchar_t* parent;  // null: unset
    std::wstring text;
  } rows[] = {{L"000123", L"000123"},
              {L"4294967295", L"4294967295"},
              {L"0", L"0"},
              {L"", own_pid()},  // empty counts as absent
              {nullptr, own_pid()}};
  for (const Row& row : rows) {
    ScopedEnv parent(L"ZOBRIN_ONEFILE_PARENT", row.parent, row.parent != nullptr);
    Expansion e = expand(L"{PID}");
    EXPECT_TRUE(e.ok);
    EXPECT_EQ(e.text, row.text) << (row.parent ? utf8(row.parent) : "unset");
    EXPECT_EQ(get_env(L"ZOBRIN_ONEFILE_PARENT"), row.parent ? row.parent : L"");
  }
}

// The probe's abort handler prints what was written, whether the guard units past the
// capacity are intact, and the published variables.
TEST(TemplateExpand, ValueThatDoesNotFitOrABadParentIdEndsTheProcess) {
  ScopedEnv tmp(L"TMP", L"C:\\zb");
  ScopedEnv random(L"ZOBRIN_ONEFILE_RANDOM", nullptr, false);
  ScopedEnv time_us(L"ZOBRIN_ONEFILE_TIME_US", nullptr, false);
  ScopedEnv start(L"ZOBRIN_ONEFILE_START", nullptr, false);
  struct Row {
    const wchar_t* parent;  // ZOBRIN_ONEFILE_PARENT, null: unset
    std::vector<std::wstring> args;
    size_t written;  // units in the output when the process ends
  } rows[] = {
      {nullptr, {L"expand", L"{RANDOM}", L"11"}, 10},  // ten of the eleven characters
      {nullptr, {L"expand", L"ab{TIME_US}", L"7"}, 6},
      {nullptr, {L"expand", L"{TIME}", L"5"}, 4},
      {nullptr, {L"expand", L"{PID}", L"2"}, 1},
      {nullptr, {L"expand", L"{HOME}", L"4"}, 3},
      {nullptr, {L"expand", L"{PROGRAM}", L"3"}, 2},
      {nullptr, {L"expand", L"x{PROGRAM_BASE}", L"4"}, 3},
      {nullptr, {L"noargv0", L"x{PROGRAM_DIR}"}, 1},
      {L"12a4", {L"expand", L"a{PID}", L"64"}, 1},
      {L"-12", {L"expand", L"a{PID}", L"64"}, 1},
      {L"+12", {L"expand", L"a{PID}", L"64"}, 1},
      {L" 12", {L"expand", L"a{PID}", L"64"}, 1},
      {L"0x1F", {L"expand", L"a{PID}", L"64"}, 1},
  };
  for (const Row& row : rows) {
    ScopedEnv parent(L"ZOBRIN_ONEFILE_PARENT", row.parent, row.parent != nullptr);
    ProcessResult r = run_process(paths_probe(), row.args);
    std::vector<std::string> lines = output_lines(r.out);
    std::string what = utf8(row.args[1]) + " " + (row.parent ? utf8(row.parent) : "");
    EXPECT_TRUE(abnormal_end(r.code)) << what << " " << r.code;
    ASSERT_EQ(lines.size(), 5u) << what << r.out;
    EXPECT_EQ(lines[0].size(), strlen("abort|") + row.written) << what << " " << lines[0];
    EXPECT_EQ(lines[1], "guard ok") << what;
    // A drawn value is published before it is appended: it outlives the failed append.
    if (row.args[1] == L"{RANDOM}") {
      EXPECT_EQ(lines[2].size(), strlen("ZOBRIN_ONEFILE_RANDOM=") + 11) << lines[2];
      EXPECT_EQ(lines[0], "abort|" + lines[2].substr(strlen("ZOBRIN_ONEFILE_RANDOM="), 10));
    }
    if (row.args[1] == L"ab{TIME_US}") {
      EXPECT_EQ(lines[3].size(), strlen("ZOBRIN_ONEFILE_TIME_US=") + 6) << lines[3];
    }
  }
  // A temporary directory that does not fit is an expansion failure, not an ending.
  ProcessResult temp = run_process(paths_probe(), {L"expand", L"{TEMP}", L"4"});
  EXPECT_EQ(temp.code, 0u);
  EXPECT_EQ(output_lines(temp.out).at(0), "0|");
}

TEST(TemplateExpand, DrawnValuesArePublishedAndReused) {
  ScopedEnv tmp(L"TMP", L"C:\\zb temp\\\\");
  ScopedEnv parent(L"ZOBRIN_ONEFILE_PARENT", L"4711");
  ScopedEnv random(L"ZOBRIN_ONEFILE_RANDOM", L"");  // empty counts as absent
  ScopedEnv time_us(L"ZOBRIN_ONEFILE_TIME_US", nullptr, false);
  ScopedEnv start(L"ZOBRIN_ONEFILE_START", nullptr, false);

  Expansion first = expand(kPayloadTemplate);
  ASSERT_TRUE(first.ok);
  const std::wstring prefix = L"C:\\zb temp\\onefile_4711_";
  ASSERT_EQ(first.text.size(), prefix.size() + 6 + 1 + 11) << utf8(first.text);
  EXPECT_EQ(first.text.substr(0, prefix.size()), prefix);
  std::wstring micro = first.text.substr(prefix.size(), 6);
  std::wstring random_text = first.text.substr(prefix.size() + 7);
  EXPECT_TRUE(all_digits(micro)) << utf8(micro);
  EXPECT_EQ(first.text[prefix.size() + 6], L'_');
  EXPECT_TRUE(base64url(random_text)) << utf8(random_text);
  EXPECT_EQ(get_env(L"ZOBRIN_ONEFILE_TIME_US"), micro);
  EXPECT_EQ(get_env(L"ZOBRIN_ONEFILE_RANDOM"), random_text);
  EXPECT_EQ(get_env(L"ZOBRIN_ONEFILE_START"), L"") << "TIME is not in the template";

  Expansion second = expand(kPayloadTemplate);
  EXPECT_EQ(second.text, first.text);

  ProcessResult child = run_process(paths_probe(), {L"expand", kPayloadTemplate, L"4096"});
  EXPECT_EQ(child.code, 0u);
  EXPECT_EQ(output_lines(child.out).at(0), "1|" + utf8(first.text));

  Expansion time = expand(L"{TIME}");
  EXPECT_TRUE(all_digits(time.text) && !time.text.empty()) << utf8(time.text);
  EXPECT_EQ(get_env(L"ZOBRIN_ONEFILE_START"), time.text);
  EXPECT_EQ(expand(L"{TIME}").text, time.text);
  child = run_process(paths_probe(), {L"expand", L"{TIME}", L"64"});
  EXPECT_EQ(output_lines(child.out).at(0), "1|" + utf8(time.text));
}

// The value is the clock's microseconds within the second, so draws are made until one falls
// in the first tenth of a second (a value that needs zero fill); that takes at most about a
// second, and the loop gives up after five.
TEST(TemplateExpand, TimeMicrosecondsAlwaysHaveSixDigits) {
  ScopedEnv time_us(L"ZOBRIN_ONEFILE_TIME_US", nullptr, false);
  bool zero_filled = false;
  ULONGLONG until = GetTickCount64() + 5000;
  while (!zero_filled && GetTickCount64() < until) {
    SetEnvironmentVariableW(L"ZOBRIN_ONEFILE_TIME_US", nullptr);
    Expansion e = expand(L"{TIME_US}");
    ASSERT_EQ(e.text.size(), 6u) << utf8(e.text);
    ASSERT_TRUE(all_digits(e.text)) << utf8(e.text);
    zero_filled = e.text[0] == L'0';
    Sleep(5);
  }
  EXPECT_TRUE(zero_filled) << "no value below 100000 was drawn";
}

TEST(TemplateRandom, TextOfASeed) {
  struct Row {
    uint32_t seed;
    const wchar_t* text;
  } rows[] = {{1, L"IQHFT9HQGrI"},
              {0, L"IQHFT9HQGrI"},
              {2, L"QgKCBhojWbY"},
              {0xDEADBEEF, L"t0JYO0gbXLM"},
              {0xFFFFFFFF, L"H_9D2pHssPs"}};
  for (const Row& row : rows) {
    wchar_t text[13];
    text[12] = kGuard;
    template_random_text(row.seed, text, 12);
    EXPECT_STREQ(text, row.text) << row.seed;
    EXPECT_EQ(text[12], kGuard);
  }
}

}  // namespace

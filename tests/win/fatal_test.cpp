// The fatal exits, observed from outside: exact bytes on each stream and the exit status.
#include <gtest/gtest.h>

#include "base/fatal.h"
#include "tests/win/support/run_process.h"

namespace {

std::wstring probe() { return test_dir() + L"fatal_probe.exe"; }

// abort() ends with 3 (Wine, or Windows without error reporting) or a fail-fast status.
bool abnormal_end(DWORD code) { return code == 3 || code == 0xC0000409; }

TEST(FatalExit, PlainMessagesGoToStdoutWithOneLineFeedAndCode2) {
  const char* messages[] = {"Error, failed to register signal handler.",
                            "Error, couldn't find attached data header.",
                            "Error, couldn't allocate memory.",
                            "Error, couldn't decode attached data.",
                            "Error, DLL entry point not found."};
  for (const char* message : messages) {
    std::wstring wide(message, message + strlen(message));
    ProcessResult r = run_process(probe(), {L"plain", wide});
    EXPECT_EQ(r.out, std::string(message) + "\r\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.code, 2u);
  }
}

TEST(FatalExit, SystemErrorLineGoesToStderrWithTheTrimmedSystemText) {
  struct Row {
    const wchar_t* message;
    DWORD code;
  } rows[] = {{L"Error, couldn't launch child", 2},
              {L"Error, load DLL.", 126},
              {L"Error, couldn't unpack file to target path.", 112}};
  for (const Row& row : rows) {
    ProcessResult r = run_process(probe(), {L"code", row.message, std::to_wstring(row.code)});
    std::string text = system_text(row.code);
    EXPECT_NE(text, "<unknown>") << row.code;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(r.err, utf8(row.message) + " ([Error " + std::to_string(row.code) + "] " + text +
                         ")\r\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.code, 2u);
  }
}

TEST(FatalExit, CodeWithoutSystemTextPrintsUnknownInUnsignedDecimal) {
  ProcessResult r = run_process(probe(), {L"code", L"Error, couldn't launch child", L"0x12345678"});
  EXPECT_EQ(r.err, "Error, couldn't launch child ([Error 305419896] <unknown>)\r\n");
  EXPECT_EQ(r.code, 2u);
  r = run_process(probe(), {L"code", L"Error, load DLL.", L"0xC0000005"});
  EXPECT_EQ(r.err, "Error, load DLL. ([Error 3221225477] <unknown>)\r\n");
}

TEST(FatalExit, SystemErrorLinePrinterReturns) {
  ProcessResult r = run_process(probe(), {L"line", L"Message", L"0x12345678"});
  EXPECT_EQ(r.err, "Message ([Error 305419896] <unknown>)\r\nafter\r\n");
  EXPECT_EQ(r.code, 0u);
}

TEST(FatalExit, OpenErrorPrintsTheWholePathAsUtf8) {
  std::wstring path = L"C:\\payload\\caf\u00e9 \u65e5\u672c\\file.txt";
  ProcessResult r = run_process(probe(), {L"open", path});
  EXPECT_EQ(r.err, "Error, failed to open '" + utf8(path) + "' for writing.\r\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.code, 2u);
}

TEST(FatalExit, ExpandErrorPrintsTheTemplateAndEndsAbnormally) {
  ProcessResult r = run_process(probe(), {L"expand", L"{HOME}"});
  EXPECT_EQ(r.err, "Error, couldn't runtime expand spec '{HOME}'.\r\n");
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(abnormal_end(r.code)) << r.code;
}

TEST(FatalExit, BoundsAbortIsSilentAndAbnormal) {
  ProcessResult r = run_process(probe(), {L"abort"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(abnormal_end(r.code)) << r.code;
}

TEST(FatalExit, TrimDropsOnlyTrailingLineBreaks) {
  struct Row {
    const wchar_t* in;
    const wchar_t* out;
  } rows[] = {{L"File not found.\r\n", L"File not found."},
              {L"text\r\n\r\n\n\r", L"text"},
              {L"\r\n\r\n", L""},
              {L"", L""},
              {L"blank at end \r\n", L"blank at end "},
              {L"inner\r\nbreak", L"inner\r\nbreak"},
              {L"tab\t", L"tab\t"}};
  for (const Row& row : rows) {
    wchar_t buffer[64];
    wcscpy(buffer, row.in);
    unsigned long n = fatal_trim_line_breaks(buffer, (unsigned long)wcslen(buffer));
    EXPECT_STREQ(buffer, row.out);
    EXPECT_EQ(n, wcslen(row.out));
  }
}

}  // namespace

// Starts a launcher as Explorer would start a windowed program, or with its output redirected,
// and watches for its message box (run in the same Wine desktop as the box).
//   box_starter REPORT MODE LAUNCHER [NAME=VALUE]
// MODE: "none" (no standard handles at all), "file" (standard output and error to
// REPORT\out.txt) or "nul" (both to NUL). The launcher gets TEMP=REPORT\tmp and NAME=VALUE.
// When a dialog titled with the launcher's file name appears: writes its text and the number
// of entries left in REPORT\tmp to REPORT\box.txt, waits (at most 60 s) for REPORT\shot, then
// presses its OK. At the end: REPORT\exit.txt with "exit CODE" (or "exit timeout", the
// launcher killed after 60 s), "left N" and "boxes N", the boxes seen.
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

// The number of entries in `directory`.
static int starter_left(const wchar_t* directory) {
  wchar_t pattern[MAX_PATH];
  swprintf(pattern, MAX_PATH, L"%ls\\*", directory);
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern, &found);
  int count = 0;
  if (find == INVALID_HANDLE_VALUE) return 0;
  do {
    if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) count++;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return count;
}

// Writes `text` (UTF-8) to REPORT\name, all at once.
static void starter_write(const wchar_t* report, const wchar_t* name, const wchar_t* text) {
  wchar_t path[MAX_PATH];
  swprintf(path, MAX_PATH, L"%ls\\%ls.part", report, name);
  FILE* file = _wfopen(path, L"wb");
  if (file == nullptr) return;
  char bytes[8192];
  int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
  if (length > 1) fwrite(bytes, 1, (size_t)length - 1, file);
  fclose(file);
  wchar_t final_path[MAX_PATH];
  swprintf(final_path, MAX_PATH, L"%ls\\%ls", report, name);
  MoveFileExW(path, final_path, MOVEFILE_REPLACE_EXISTING);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  if (argc != 4 && argc != 5) return 100;
  const wchar_t* report = argv[1];
  const wchar_t* mode = argv[2];
  const wchar_t* launcher_path = argv[3];
  wchar_t temp[MAX_PATH], path[MAX_PATH];
  swprintf(temp, MAX_PATH, L"%ls\\tmp", report);
  CreateDirectoryW(temp, nullptr);
  SetEnvironmentVariableW(L"TEMP", temp);
  SetEnvironmentVariableW(L"TMP", temp);
  if (argc == 5) {
    wchar_t* equals = wcschr(argv[4], L'=');
    if (equals == nullptr) return 101;
    *equals = L'\0';
    SetEnvironmentVariableW(argv[4], equals + 1);
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE output = nullptr;
  if (wcscmp(mode, L"file") == 0) {
    swprintf(path, MAX_PATH, L"%ls\\out.txt", report);
    output = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  } else if (wcscmp(mode, L"nul") == 0) {
    output = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         OPEN_EXISTING, 0, nullptr);
  } else if (wcscmp(mode, L"none") != 0) {
    return 102;
  }
  if (output == INVALID_HANDLE_VALUE) return 103;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  wchar_t command[MAX_PATH + 3];
  swprintf(command, MAX_PATH + 3, L"\"%ls\"", launcher_path);
  PROCESS_INFORMATION launcher = {};
  if (!CreateProcessW(launcher_path, command, nullptr, nullptr, /* bInheritHandles */ TRUE,
                      DETACHED_PROCESS, nullptr, nullptr, &startup, &launcher)) {
    return 104;
  }
  if (output != nullptr) CloseHandle(output);
  const wchar_t* title = wcsrchr(launcher_path, L'\\');
  title = title != nullptr ? title + 1 : launcher_path;
  HWND pressed = nullptr;
  int boxes = 0;
  DWORD waited = WAIT_TIMEOUT;
  for (int i = 0; i < 600 && waited == WAIT_TIMEOUT; i++) {
    waited = WaitForSingleObject(launcher.hProcess, 100);
    HWND box = FindWindowW(L"#32770", title);
    if (box == nullptr || box == pressed) continue;
    // A second box (of the child and the parent both) is counted, and pressed at once.
    pressed = box;
    if (++boxes > 1) {
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      continue;
    }
    static wchar_t text[4096], line[4200];
    GetDlgItemTextW(box, 0xFFFF, text, 4096);
    swprintf(line, 4200, L"%ls\nleft %d\n", text, starter_left(temp));
    starter_write(report, L"box.txt", line);
    swprintf(path, MAX_PATH, L"%ls\\shot", report);
    for (int k = 0; k < 600 && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES; k++) Sleep(100);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  wchar_t result[128];
  DWORD code = 0;
  if (waited != WAIT_OBJECT_0) {
    TerminateProcess(launcher.hProcess, 1);
    WaitForSingleObject(launcher.hProcess, 5000);
    swprintf(result, 128, L"exit timeout\nleft %d\nboxes %d\n", starter_left(temp), boxes);
  } else {
    GetExitCodeProcess(launcher.hProcess, &code);
    swprintf(result, 128, L"exit %lu\nleft %d\nboxes %d\n", (unsigned long)code,
             starter_left(temp), boxes);
  }
  starter_write(report, L"exit.txt", result);
  return 0;
}

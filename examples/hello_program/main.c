/* An ordinary console program, packed as it is: it knows nothing of the launcher and is built
 * like any other program. It prints its arguments after its own name as UTF-8, then a data
 * file packed beside it (data\greeting.txt), found through its own path. Exit code: the
 * number of arguments, or 100 when the data file cannot be read. */
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

static int print_file(const wchar_t* path) {
  FILE* file = _wfopen(path, L"rb");
  if (file == NULL) return 0;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) fwrite(buffer, 1, got, stdout);
  fclose(file);
  return 1;
}

int wmain(int argc, wchar_t** argv) {
  static char text[32768 * 3];
  for (int i = 1; i < argc; i++) {
    if (WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text, sizeof text, NULL, NULL) == 0) {
      text[0] = '\0';
    }
    printf("argument %d: %s\n", i, text);
  }
  static wchar_t path[32768];
  const wchar_t data[] = L"data\\greeting.txt";
  DWORD length = GetModuleFileNameW(NULL, path, 32768 - sizeof data / sizeof data[0]);
  wchar_t* name = wcsrchr(path, L'\\');
  int read = length != 0 && name != NULL;
  if (read) {
    wcscpy(name + 1, data);
    read = print_file(path);
  }
  fflush(stdout);
  if (!read) {
    fputs("hello_program: cannot read data\\greeting.txt\n", stderr);
    return 100;
  }
  return argc - 1;
}

/* A packed C application: prints its arguments as UTF-8, the name it was started by, and a
 * data file that is packed beside the DLL (data\greeting.txt), found through dll_path.
 * Exit code 0, or 1 when the data file cannot be read. */
#include <stdio.h>
#include <stdlib.h>

#include <zobrin/app.h>

static int print_file(const wchar_t* path) {
  FILE* file = _wfopen(path, L"rb");
  if (file == NULL) return 0;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) fwrite(buffer, 1, got, stdout);
  fclose(file);
  return 1;
}

int run_code(int argc, wchar_t** argv, const wchar_t* dll_path) {
  char** args = zobrin_args_utf8(argc, argv);
  if (args == NULL) {
    fputs("hello: cannot convert the arguments\n", stderr);
    return 1;
  }
  /* args[0] is the onefile executable's path; the name the user typed is in the environment. */
  for (int i = 0; i < argc; i++) printf("argument %d: %s\n", i, args[i]);
  free(args);
  const wchar_t* typed = _wgetenv(L"ZOBRIN_ORIGINAL_ARGV0");
  char* started_as = zobrin_utf8(typed != NULL ? typed : L"");
  printf("started as: %s\n", started_as != NULL ? started_as : "?");
  free(started_as);

  wchar_t* greeting = zobrin_app_file(dll_path, L"data\\greeting.txt");
  int read = greeting != NULL && print_file(greeting);
  free(greeting);
  fflush(stdout);
  if (!read) {
    fputs("hello: cannot read data\\greeting.txt\n", stderr);
    return 1;
  }
  return 0;
}

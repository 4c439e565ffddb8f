#!/usr/bin/env bash
# Compiles tiny main DLLs against include/zobrin/app.h: the right run_code signature builds,
# warning-free, into a DLL that exports the plain name run_code (C and C++, with or without
# extern "C" written); each wrong one is a compile error that names run_code.
set -u
cc=$1 cxx=$2 specs=$3 include=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
flags=(-specs="$specs" -D_UCRT -I"$include" -Wall -Wextra -Werror -pedantic)
body='{ char** a = zobrin_args_utf8(argc, (wchar_t**)argv); wchar_t* d = zobrin_app_dir(dll_path);
  int n = a != 0 && d != 0; free(a); free(d); return n; }'
row() {  # expect(ok|error), language(c|c++), definition head
  local expect=$1 lang=$2 head=$3 src="$work/app.$2" compiler=$cc std=-std=c99
  [ "$lang" = c++ ] && { src="$work/app.cpp"; compiler=$cxx; std=-std=c++17; }
  printf '#include <zobrin/app.h>\n%s\n%s\n' "$head" "$body" > "$src"
  if [ "$expect" = ok ]; then
    if "$compiler" "${flags[@]}" $std -shared -o "$work/app.dll" "$src" 2>"$work/log" &&
       x86_64-w64-mingw32-objdump -p "$work/app.dll" | grep -Eq '^\s*\[\s*[0-9]+\] run_code$'; then
      echo "ok: $lang builds and exports run_code: $head"
    else
      echo "FAILED: $lang should build and export run_code: $head"; cat "$work/log"; fail=1
    fi
  else
    if "$compiler" "${flags[@]}" $std -fsyntax-only "$src" 2>"$work/log"; then
      echo "FAILED: $lang compiled a wrong signature: $head"; fail=1
    elif grep -q 'error:.*run_code' "$work/log"; then
      echo "ok: $lang refuses: $head"
    else
      echo "FAILED: $lang error does not name run_code: $head"; cat "$work/log"; fail=1
    fi
  fi
}
row ok    c   'int run_code(int argc, wchar_t** argv, const wchar_t* dll_path)'
row ok    c   'ZOBRIN_EXPORT int run_code(int argc, wchar_t** argv, const wchar_t* dll_path)'
row ok    c++ 'int run_code(int argc, wchar_t** argv, const wchar_t* dll_path)'
row ok    c++ 'extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* dll_path)'
row error c   'int run_code(int argc, char** argv, const wchar_t* dll_path)'
row error c   'int run_code(int argc, wchar_t** argv, const char* dll_path)'
row error c   'long long run_code(int argc, wchar_t** argv, const wchar_t* dll_path)'
row error c++ 'int run_code(int argc, char** argv, const wchar_t* dll_path)'
row error c++ 'extern "C" int run_code(int argc, char** argv, const wchar_t* dll_path)'
row error c++ 'int run_code(int argc, wchar_t** argv, const char* dll_path)'
row error c++ 'int run_code(int argc, char** argv, const char* dll_path)'
row error c++ 'int run_code(int argc, wchar_t** argv, wchar_t* dll_path)'
row error c   'int run_code(int argc, wchar_t** argv, wchar_t* dll_path)'
exit $fail

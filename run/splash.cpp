#include "run/splash.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "format/little_endian.h"
#include "format/payload_format.h"
#include "payload/payload_decoder.h"

typedef ATOM(WINAPI* splash_register_class)(const WNDCLASSEXW*);
typedef HWND(WINAPI* splash_create_window)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int,
                                           HWND, HMENU, HINSTANCE, LPVOID);
typedef BOOL(WINAPI* splash_show_window)(HWND, int);
typedef BOOL(WINAPI* splash_destroy_window)(HWND);
typedef LRESULT(WINAPI* splash_def_window_proc)(HWND, UINT, WPARAM, LPARAM);
typedef BOOL(WINAPI* splash_peek_message)(LPMSG, HWND, UINT, UINT, UINT);
typedef LRESULT(WINAPI* splash_dispatch_message)(const MSG*);
typedef DWORD(WINAPI* splash_msg_wait)(DWORD, const HANDLE*, BOOL, DWORD, DWORD);
typedef int(WINAPI* splash_get_system_metrics)(int);
typedef BOOL(WINAPI* splash_enum_windows)(WNDENUMPROC, LPARAM);
typedef DWORD(WINAPI* splash_window_process)(HWND, LPDWORD);
typedef BOOL(WINAPI* splash_is_window_visible)(HWND);
typedef HWND(WINAPI* splash_get_window)(HWND, UINT);
typedef HDC(WINAPI* splash_begin_paint)(HWND, LPPAINTSTRUCT);
typedef BOOL(WINAPI* splash_end_paint)(HWND, const PAINTSTRUCT*);
typedef int(WINAPI* splash_set_dib_bits)(HDC, int, int, DWORD, DWORD, int, int, UINT, UINT,
                                         const void*, const BITMAPINFO*, UINT);

// The user32 and gdi32 functions the window needs, looked up when it is due: the executable
// imports only kernel32 and the runtime.
struct SplashCalls {
  splash_register_class register_class;
  splash_create_window create_window;
  splash_show_window show_window;
  splash_destroy_window destroy_window;
  splash_def_window_proc def_window_proc;
  splash_peek_message peek_message;
  splash_dispatch_message dispatch_message;
  splash_msg_wait msg_wait;
  splash_get_system_metrics get_system_metrics;
  splash_enum_windows enum_windows;
  splash_window_process window_process;
  splash_is_window_visible is_window_visible;
  splash_get_window get_window;
  splash_begin_paint begin_paint;
  splash_end_paint end_paint;
  splash_set_dib_bits set_dib_bits;
};

// What the window procedure and the enumeration reach: one splash per process, written by its
// thread before the window exists.
struct SplashShown {
  SplashCalls calls;
  BITMAPINFO info;
  void* pixels;
  HWND window;
  DWORD child;
  bool child_window;
};
static SplashShown splash_shown;

static const wchar_t SPLASH_CLASS[] = L"ZobrinOnefileSplash";

// Fills `calls`; false when a library or a function is missing.
static bool splash_find_calls(SplashCalls* calls) {
  HMODULE user = LoadLibraryExW(L"user32.dll", /* hFile */ nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  HMODULE gdi = LoadLibraryExW(L"gdi32.dll", /* hFile */ nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (user == nullptr || gdi == nullptr) return false;
  calls->register_class = (splash_register_class)(void*)GetProcAddress(user, "RegisterClassExW");
  calls->create_window = (splash_create_window)(void*)GetProcAddress(user, "CreateWindowExW");
  calls->show_window = (splash_show_window)(void*)GetProcAddress(user, "ShowWindow");
  calls->destroy_window = (splash_destroy_window)(void*)GetProcAddress(user, "DestroyWindow");
  calls->def_window_proc = (splash_def_window_proc)(void*)GetProcAddress(user, "DefWindowProcW");
  calls->peek_message = (splash_peek_message)(void*)GetProcAddress(user, "PeekMessageW");
  calls->dispatch_message =
      (splash_dispatch_message)(void*)GetProcAddress(user, "DispatchMessageW");
  calls->msg_wait = (splash_msg_wait)(void*)GetProcAddress(user, "MsgWaitForMultipleObjects");
  calls->get_system_metrics =
      (splash_get_system_metrics)(void*)GetProcAddress(user, "GetSystemMetrics");
  calls->enum_windows = (splash_enum_windows)(void*)GetProcAddress(user, "EnumWindows");
  calls->window_process =
      (splash_window_process)(void*)GetProcAddress(user, "GetWindowThreadProcessId");
  calls->is_window_visible =
      (splash_is_window_visible)(void*)GetProcAddress(user, "IsWindowVisible");
  calls->get_window = (splash_get_window)(void*)GetProcAddress(user, "GetWindow");
  calls->begin_paint = (splash_begin_paint)(void*)GetProcAddress(user, "BeginPaint");
  calls->end_paint = (splash_end_paint)(void*)GetProcAddress(user, "EndPaint");
  calls->set_dib_bits = (splash_set_dib_bits)(void*)GetProcAddress(gdi, "SetDIBitsToDevice");
  void* const* all = reinterpret_cast<void* const*>(calls);
  for (size_t i = 0; i < sizeof *calls / sizeof(void*); i++) {
    if (all[i] == nullptr) return false;
  }
  return true;
}

// The record's pixels decoded into a new allocation (VirtualAlloc; the process's end frees
// it), its size into `info`. Null for a record the packer would not write.
static void* splash_decode(const unsigned char* record, uint32_t length, BITMAPINFO* info) {
  if (length < 8) return nullptr;
  uint32_t width = le_read_u32(record);
  uint32_t height = le_read_u32(record + 4);
  if (width == 0 || height == 0 || width > ZB_SPLASH_MAX_SIDE || height > ZB_SPLASH_MAX_SIDE) {
    return nullptr;
  }
  size_t bytes = (size_t)width * height * 4;
  void* pixels = VirtualAlloc(/* lpAddress */ nullptr, bytes, MEM_COMMIT | MEM_RESERVE,
                              PAGE_READWRITE);
  if (pixels == nullptr) return nullptr;
  if (!payload_frame_decode(/* decoder: one for this call */ nullptr,
                            static_cast<unsigned char*>(pixels), bytes, record + 8, length - 8)) {
    VirtualFree(pixels, 0, MEM_RELEASE);
    return nullptr;
  }
  memset(info, 0, sizeof *info);
  info->bmiHeader.biSize = sizeof info->bmiHeader;
  info->bmiHeader.biWidth = (LONG)width;
  // Negative: rows top down, as recorded.
  info->bmiHeader.biHeight = -(LONG)height;
  info->bmiHeader.biPlanes = 1;
  info->bmiHeader.biBitCount = 32;
  info->bmiHeader.biCompression = BI_RGB;
  return pixels;
}

static LRESULT CALLBACK splash_window_proc(HWND window, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
  const SplashCalls& calls = splash_shown.calls;
  if (message != WM_PAINT) return calls.def_window_proc(window, message, wparam, lparam);
  PAINTSTRUCT paint;
  HDC dc = calls.begin_paint(window, &paint);
  if (dc != nullptr) {
    DWORD width = (DWORD)splash_shown.info.bmiHeader.biWidth;
    DWORD height = (DWORD)-splash_shown.info.bmiHeader.biHeight;
    calls.set_dib_bits(dc, 0, 0, width, height, 0, 0, 0, height, splash_shown.pixels,
                       &splash_shown.info, DIB_RGB_COLORS);
  }
  calls.end_paint(window, &paint);
  return 0;
}

// A visible top-level window without owner of the child's process stops the enumeration.
static BOOL CALLBACK splash_find_child_window(HWND window, LPARAM) {
  const SplashCalls& calls = splash_shown.calls;
  DWORD process = 0;
  calls.window_process(window, &process);
  if (process != splash_shown.child || window == splash_shown.window ||
      !calls.is_window_visible(window) || calls.get_window(window, GW_OWNER) != nullptr) {
    return TRUE;
  }
  splash_shown.child_window = true;
  return FALSE;
}

// Shows the window and keeps it until `done` is set or the child shows a window of its own.
static void splash_show(Splash* splash, const unsigned char* record, uint32_t length) {
  SplashShown& shown = splash_shown;
  if (!splash_find_calls(&shown.calls)) return;
  shown.pixels = splash_decode(record, length, &shown.info);
  if (shown.pixels == nullptr) return;
  const SplashCalls& calls = shown.calls;
  WNDCLASSEXW window_class;
  memset(&window_class, 0, sizeof window_class);
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = splash_window_proc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = SPLASH_CLASS;
  if (calls.register_class(&window_class) == 0) return;
  int width = shown.info.bmiHeader.biWidth;
  int height = -shown.info.bmiHeader.biHeight;
  int x = (calls.get_system_metrics(SM_CXSCREEN) - width) / 2;
  int y = (calls.get_system_metrics(SM_CYSCREEN) - height) / 2;
  shown.window = calls.create_window(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, SPLASH_CLASS,
                                     /* lpWindowName */ L"", WS_POPUP, x, y, width, height,
                                     /* hWndParent */ nullptr, /* hMenu */ nullptr,
                                     window_class.hInstance, /* lpParam */ nullptr);
  if (shown.window == nullptr) return;
  calls.show_window(shown.window, SW_SHOWNOACTIVATE);
  HANDLE done = splash->done.get();
  for (;;) {
    MSG message;
    while (calls.peek_message(&message, /* hWnd */ nullptr, 0, 0, PM_REMOVE)) {
      calls.dispatch_message(&message);
    }
    shown.child = (DWORD)splash->child;
    if (shown.child != 0) {
      calls.enum_windows(splash_find_child_window, 0);
      if (shown.child_window) break;
    }
    DWORD woken = calls.msg_wait(1, &done, /* fWaitAll */ FALSE, ZB_SPLASH_POLL_MS, QS_ALLINPUT);
    if (woken == WAIT_OBJECT_0) break;
  }
  calls.destroy_window(shown.window);
}

static DWORD WINAPI splash_thread_main(LPVOID context) {
  Splash* splash = static_cast<Splash*>(context);
  // A fast start has its child running (or has ended) before the splash is due: nothing is
  // loaded.
  if (WaitForSingleObject(splash->done.get(), ZB_SPLASH_DELAY_MS) != WAIT_TIMEOUT) return 0;
  if (splash->child != 0) return 0;
  splash_show(splash, splash->record, splash->record_length);
  return 0;
}

void splash_start(Splash* splash, const PayloadImage* image) {
  splash->record = payload_image_setting(image, ZB_SETTING_SPLASH, &splash->record_length);
  if (splash->record == nullptr) return;
  wchar_t name[64];
  swprintf(name, 64, L"%ls%lu", ZB_SPLASH_EVENT_PREFIX, (unsigned long)GetCurrentProcessId());
  splash->done.reset(CreateEventW(/* lpEventAttributes */ nullptr, /* bManualReset */ TRUE,
                                  /* bInitialState */ FALSE, name));
  if (!splash->done) return;
  thread_start(&splash->thread, splash_thread_main, splash, /* stack_bytes: default */ 0);
}

void splash_set_child(Splash* splash, DWORD child) {
  InterlockedExchange(&splash->child, (LONG)child);
}

void splash_stop(Splash* splash) {
  if (!thread_started(&splash->thread)) return;
  SetEvent(splash->done.get());
  thread_join(&splash->thread, ZB_SPLASH_JOIN_MS);
}

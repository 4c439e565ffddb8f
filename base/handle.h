// One owner for a Win32 handle that CloseHandle closes: the handle is closed exactly once,
// when its owner goes out of scope or is reset, unless it was released first. Move-only, no
// exceptions; the last error is kept across the close, so a caller may read it afterwards.
#pragma once

#include <windows.h>

class HandleOwner {
 public:
  HandleOwner() = default;
  // Takes `handle`; null and INVALID_HANDLE_VALUE both mean none (no pseudo-handle is ever
  // given to an owner).
  explicit HandleOwner(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  HandleOwner(HandleOwner&& other) : handle_(other.release()) {}
  HandleOwner& operator=(HandleOwner&& other) {
    if (this != &other) reset(other.release());
    return *this;
  }
  HandleOwner(const HandleOwner&) = delete;
  HandleOwner& operator=(const HandleOwner&) = delete;
  ~HandleOwner() { reset(); }

  // The handle, or null; it stays the owner's.
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

  // Gives the handle up without closing it; the owner holds none afterwards.
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

  // Closes the handle held, if any, and takes `handle` (null: none).
  void reset(HANDLE handle = nullptr) {
    HANDLE old = handle_;
    handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    if (old != nullptr) {
      DWORD error = GetLastError();
      CloseHandle(old);
      SetLastError(error);
    }
  }

  // Empties a slot that another thread may empty at the same moment (one interlocked
  // exchange): the caller's owner gets what was there, the other side null.
  static HandleOwner take(HANDLE volatile* slot) {
    return HandleOwner(InterlockedExchangePointer(const_cast<HANDLE*>(slot), nullptr));
  }

 private:
  HANDLE handle_ = nullptr;
};

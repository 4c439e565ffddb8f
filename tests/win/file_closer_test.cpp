// The closer: whatever the ring holds, every handle handed over is closed exactly once, on the
// closer's thread or, when it cannot start, at once; a wait for the closer and its finish
// return only after the handles still queued are closed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/limits.h"
#include "cleanup/file_closer.h"
#include "tests/win/cleanup_tree.h"

namespace {

// Files held open without delete sharing: each can be deleted only once its handle is closed.
struct OpenFiles {
  std::wstring dir;
  std::vector<std::wstring> paths;
  std::vector<HANDLE> handles;
  OpenFiles(const wchar_t* tag, size_t count) : dir(tree_fresh(tag)) {
    for (size_t i = 0; i < count; i++) {
      paths.push_back(dir + L"\\f" + std::to_wstring(i));
      handles.push_back(CreateFileW(paths.back().c_str(), GENERIC_WRITE, FILE_SHARE_WRITE,
                                    nullptr, CREATE_ALWAYS, 0, nullptr));
      EXPECT_NE(handles.back(), INVALID_HANDLE_VALUE);
    }
  }
  ~OpenFiles() { tree_wipe(dir); }
  // How many are closed: deleted now, or before.
  size_t closed() const {
    size_t count = 0;
    for (const std::wstring& path : paths) {
      if (!tree_exists(path) || DeleteFileW(path.c_str())) count++;
    }
    return count;
  }
};

TEST(FileCloser, EveryHandleIsClosedOnceWhateverTheRingHolds) {
  for (bool thread : {true, false}) {
    const size_t ring = ZB_CLOSER_HANDLES;
    for (size_t count : {ring - 1, ring, ring + 1, size_t(1000)}) {
      SCOPED_TRACE((thread ? "thread, " : "no thread, ") + std::to_string(count));
      OpenFiles files(L"closer", count);
      // Without a thread: a closer that was never started, as when its thread cannot be made.
      FileCloser closer = {};
      if (thread) EXPECT_TRUE(file_closer_start(&closer));
      // Opened after each hand-over, an event takes a freed handle value: a second close of
      // that value would close the event.
      std::vector<HANDLE> events;
      for (HANDLE file : files.handles) {
        file_closer_hand(&closer, file);
        events.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      }
      if (!thread) EXPECT_EQ(files.closed(), count);
      file_closer_finish(&closer);
      EXPECT_EQ(files.closed(), count);
      for (HANDLE event : events) {
        DWORD flags = 0;
        EXPECT_TRUE(GetHandleInformation(event, &flags));
        CloseHandle(event);
      }
    }
  }
}

struct HandOver {
  FileCloser* closer;
  HANDLE file;
};

DWORD WINAPI hand_over(void* context) {
  HandOver* hand = static_cast<HandOver*>(context);
  file_closer_hand(hand->closer, hand->file);
  return 0;
}

DWORD WINAPI resume_later(void* thread) {
  Sleep(200);
  ResumeThread(static_cast<HANDLE>(thread));
  return 0;
}

TEST(FileCloser, QueuedHandlesAreClosedBeforeTheWaitOrTheFinishReturns) {
  for (bool handler : {true, false}) {
    SCOPED_TRACE(handler ? "the console handler's wait" : "the finish");
    OpenFiles files(L"held", ZB_CLOSER_HANDLES + 1);
    FileCloser closer = {};
    ASSERT_TRUE(file_closer_start(&closer));
    // The closer's thread held still: whatever is handed over stays in the ring, unclosed.
    HANDLE thread = closer.thread.handle.get();
    ASSERT_NE(SuspendThread(thread), (DWORD)-1);
    for (uint32_t i = 0; i < ZB_CLOSER_HANDLES; i++) file_closer_hand(&closer, files.handles[i]);
    // The ring is full: one more hand-over waits for a close.
    HandOver last = {&closer, files.handles[ZB_CLOSER_HANDLES]};
    HANDLE extra = CreateThread(nullptr, 0, hand_over, &last, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(extra, 300), (DWORD)WAIT_TIMEOUT);
    EXPECT_FALSE(file_closer_wait_closed(&closer, 100));
    EXPECT_EQ(files.closed(), 0u);
    HANDLE release = CreateThread(nullptr, 0, resume_later, thread, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(extra, 10000), (DWORD)WAIT_OBJECT_0);
    if (handler) EXPECT_TRUE(file_closer_wait_closed(&closer, 10000));
    else file_closer_finish(&closer);
    EXPECT_EQ(files.closed(), files.paths.size());
    file_closer_finish(&closer);
    WaitForSingleObject(release, INFINITE);
    for (HANDLE handle : {extra, release}) CloseHandle(handle);
  }
}

}  // namespace

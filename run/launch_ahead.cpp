#include "run/launch_ahead.h"

#include <stdlib.h>
#include <string.h>

#include "base/limits.h"
#include "cleanup/gate.h"
#include "paths/path_utils.h"
#include "run/app_settings.h"

// The thread: a job, then the child created suspended inside it. Leaves ahead->created zero
// when either fails or the system cannot create a process inside a job (before Windows 10:
// the attribute is refused), for the ordinary start to take over.
static DWORD WINAPI launch_ahead_main(void* context) {
  LaunchAhead* ahead = static_cast<LaunchAhead*>(context);
  HandleOwner job = launch_job_create();
  if (!job) return 0;
  alignas(8) unsigned char storage[ZB_AHEAD_ATTRIBUTE_BYTES];
  LPPROC_THREAD_ATTRIBUTE_LIST attributes = (LPPROC_THREAD_ATTRIBUTE_LIST)storage;
  SIZE_T bytes = sizeof storage;
  if (!InitializeProcThreadAttributeList(attributes, /* dwAttributeCount */ 1, /* dwFlags */ 0,
                                         &bytes)) {
    return 0;
  }
  // Read by CreateProcessW through the list: must live until the list is deleted.
  HANDLE jobs[1] = {job.get()};
  DWORD error = 0;
  bool created =
      UpdateProcThreadAttribute(attributes, /* dwFlags */ 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, jobs,
                                sizeof jobs, /* lpPreviousValue */ nullptr,
                                /* lpReturnSize */ nullptr) &&
      launch_create_suspended(ahead->launch, ahead->launch->module_path, ahead->environment,
                              attributes, &ahead->created, &error);
  DeleteProcThreadAttributeList(attributes);
  if (created) ahead->job = job.release();
  return 0;
}

void launch_ahead_begin(LaunchAhead* ahead, Launch* launch, wchar_t** argv) {
  launch_parent_prepare(launch, argv);
  path_module_file_name(launch->module_path, ZB_PATH_UNITS);
  launch_build_command_line(launch, launch->module_path);
  ahead->launch = launch;
  ahead->environment = launch->app != nullptr ? app_settings_environment(launch->app) : nullptr;
  memset(&ahead->created, 0, sizeof ahead->created);
  ahead->job = nullptr;
  thread_start(&ahead->thread, launch_ahead_main, ahead, ZB_AHEAD_STACK_BYTES);
}

bool launch_ahead_begun(const LaunchAhead* ahead) { return ahead->launch != nullptr; }

// Waits for the thread, releases the environment and ends the ahead state; returns the launch.
static Launch* launch_ahead_join(LaunchAhead* ahead) {
  thread_join(&ahead->thread, INFINITE);
  free(ahead->environment);
  ahead->environment = nullptr;
  Launch* launch = ahead->launch;
  ahead->launch = nullptr;
  return launch;
}

HandleOwner launch_ahead_finish(LaunchAhead* ahead, RunContext* run) {
  Launch* launch = launch_ahead_join(ahead);
  if (ahead->created.hProcess == nullptr) return launch_start(launch, run, launch->module_path);
  launch->job = ahead->job;
  ahead->job = nullptr;
  // Resumed through the gate: after an interrupt it never runs, and the job ends it with the
  // parent.
  cleanup_gate_enter(run);
  HandleOwner child = launch_resume(launch, run, launch->module_path, &ahead->created);
  cleanup_gate_leave(run);
  return child;
}

void launch_ahead_cancel(LaunchAhead* ahead) {
  if (!launch_ahead_begun(ahead)) return;
  launch_ahead_join(ahead);
  HandleOwner job(ahead->job);
  ahead->job = nullptr;
  if (ahead->created.hProcess == nullptr) return;
  HandleOwner child(ahead->created.hProcess);
  HandleOwner thread(ahead->created.hThread);
  memset(&ahead->created, 0, sizeof ahead->created);
  TerminateProcess(child.get(), /* uExitCode */ STATUS_CONTROL_C_EXIT);
  WaitForSingleObject(child.get(), ZB_CHILD_GRACE_MS);
}

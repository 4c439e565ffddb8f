// The splash: an image (recorded at pack time, `zobrin-pack exe --splash`) that the parent
// shows, centred on a window of its own thread, when extraction has not finished after
// ZB_SPLASH_DELAY_MS. It goes when a visible top-level window of the child appears, when the
// application asks (zobrin_close_splash in zobrin/app.h: the named event below), and at the
// latest when the child ends. user32 and gdi32 are loaded only when it is shown.
#pragma once

#include <stdint.h>
#include <windows.h>

#include "base/handle.h"
#include "base/thread.h"
#include "payload/payload_image.h"

// How long extraction may take before the splash is shown.
constexpr uint32_t ZB_SPLASH_DELAY_MS = 300;
// How often the splash's thread looks for the child's first window.
constexpr uint32_t ZB_SPLASH_POLL_MS = 50;
// How long the parent waits at its end for the splash's thread to close the window.
constexpr uint32_t ZB_SPLASH_JOIN_MS = 2000;
// The event that ends the splash: this prefix and the parent's process id in decimal.
#define ZB_SPLASH_EVENT_PREFIX L"Local\\zobrin-onefile-splash-"

struct Splash {
  Thread thread;
  // Manual-reset, named: set by the application's request or by splash_stop.
  HandleOwner done;
  // The child's process id once it is started, 0 before.
  volatile LONG child;
  // The packed image record (in the payload image) and its length.
  const unsigned char* record;
  uint32_t record_length;
};

// Parent role, before extraction: when `image` carries a splash, creates the event and
// the thread that shows it after the delay. Never fatal: without the event or the thread there
// is no splash.
void splash_start(Splash* splash, const PayloadImage* image);

// Parent role, once the child is started (extraction has finished): the child whose first
// window ends the splash; before the delay has passed, no splash is shown at all.
void splash_set_child(Splash* splash, DWORD child);

// Parent role, once the child has ended: ends the splash and waits for its thread at most
// ZB_SPLASH_JOIN_MS. Never fatal.
void splash_stop(Splash* splash);

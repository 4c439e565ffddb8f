// The launcher's run, from the entry to the exit code, in either role.
#pragma once

// Runs the launcher and returns the process exit code: the child's exit code in the parent
// role, the value of run_code in the child role. Every failure ends the process on the spot.
int driver_run(void);

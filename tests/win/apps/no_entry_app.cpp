// A DLL without the run_code export.
extern "C" __declspec(dllexport) int start_here(void) { return 0; }

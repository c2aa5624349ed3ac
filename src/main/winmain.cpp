// The Windows entry point: a GUI program without a window that runs the update once.
#include "dll_search.h"
#include "run_update.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // A redirection beside the executable would reach even the DLLs loaded below by their full paths.
    if (RefuseLoaderRedirection())
        return 0;
    // Before anything can load a DLL. Where the system offers no restriction the update still runs: the
    // search is then what it always was there.
    RestrictDllSearch();
    TrustOnlyAdministratorsRedirections();
    return RunUpdate();
}

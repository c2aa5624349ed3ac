// The process's DLL search, narrowed to the system directory before anything loads a DLL on demand.
//
// The updater runs elevated from a folder the user controls (Downloads, typically): a DLL planted there
// under the name of one that the system loads on demand (CryptoAPI's, for the digests) would run with
// the updater's rights. Its static imports are KnownDLLs, which the loader takes from the system anyway.
#include "dll_search.h"

#include "system.h"

namespace {

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFn)(DWORD);
typedef BOOL(WINAPI *SetDllDirectoryFn)(LPCSTR);

}  // namespace

int RestrictDllSearch()
{
    // Both are looked up rather than imported: an import the system lacks would stop the program loading.
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (kernel32 == NULL)
        return 0;
    // Windows 8 and later; Vista and 7 once KB2533623 is installed.
    SetDefaultDllDirectoriesFn systemOnly =
        (SetDefaultDllDirectoriesFn)(void *)GetProcAddress(kernel32, "SetDefaultDllDirectories");
    if (systemOnly != NULL && systemOnly(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return 2;
    // XP SP1 and later: the program's own folder is still searched, but no longer the current directory.
    SetDllDirectoryFn noCurrentDirectory = (SetDllDirectoryFn)(void *)GetProcAddress(kernel32, "SetDllDirectoryA");
    if (noCurrentDirectory != NULL && noCurrentDirectory(""))
        return 1;
    return 0;
}

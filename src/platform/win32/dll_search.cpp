// The process's DLL search, narrowed to the system directory before anything loads a DLL on demand.
//
// The updater runs elevated from a folder the user controls (Downloads, typically): a DLL planted there
// under the name of one that the system loads on demand (CryptoAPI's, for the digests) would run with
// the updater's rights. Its static imports are KnownDLLs, which the loader takes from the system anyway.
#include "dll_search.h"

#include "system.h"

#include <cstring>

namespace {

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFn)(DWORD);
typedef BOOL(WINAPI *SetDllDirectoryFn)(LPCSTR);
typedef BOOL(WINAPI *SetProcessMitigationPolicyFn)(int, PVOID, SIZE_T);

// PROCESS_MITIGATION_POLICY's value for the redirection trust policy (ProcessRedirectionTrustPolicy), which
// older headers lack.
const int RedirectionTrustPolicy = 16;

// The DLLs that a run has the system load on demand, from its own components: CryptoAPI's for the digests
// (rsaenh.dll the provider, cryptsp.dll its router from Windows 7 on, bcrypt.dll and crypt32.dll beneath
// them), and the visual styles for the message boxes. A name the system lacks is skipped.
const char *const OnDemandDlls[] = {"cryptsp.dll", "rsaenh.dll", "bcrypt.dll", "crypt32.dll", "uxtheme.dll"};

// Loads each of OnDemandDlls from the system directory by its full path; nothing. They stay loaded.
void PreloadFromSystemDirectory()
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return;
    for (size_t i = 0; i < sizeof OnDemandDlls / sizeof OnDemandDlls[0]; ++i) {
        size_t nameLength = strlen(OnDemandDlls[i]);
        if (length + 1 + nameLength + 1 > sizeof path)
            continue;
        path[length] = '\\';
        memcpy(path + length + 1, OnDemandDlls[i], nameLength + 1);
        LoadLibraryA(path);
    }
}

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
    // XP SP1 and later: the program's own folder is still searched, but no longer the current directory. What
    // the system's components load on demand is loaded first from the system directory by its full path:
    // a module already loaded is found by its name before any search.
    PreloadFromSystemDirectory();
    SetDllDirectoryFn noCurrentDirectory = (SetDllDirectoryFn)(void *)GetProcAddress(kernel32, "SetDllDirectoryA");
    if (noCurrentDirectory != NULL && noCurrentDirectory(""))
        return 1;
    return 0;
}

int TrustOnlyAdministratorsRedirections()
{
    // Windows 11 and Windows 10 21H2 on: a junction made by a user is not followed by this process (Redirection
    // Guard). Elsewhere the call or the policy is missing, and the checked folder handles are the defence.
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (kernel32 == NULL)
        return 0;
    SetProcessMitigationPolicyFn setPolicy =
        (SetProcessMitigationPolicyFn)(void *)GetProcAddress(kernel32, "SetProcessMitigationPolicy");
    if (setPolicy == NULL)
        return 0;
    DWORD enforce = 1;  // EnforceRedirectionTrust, the first bit of PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY
    return setPolicy(RedirectionTrustPolicy, &enforce, sizeof enforce) ? 1 : 0;
}

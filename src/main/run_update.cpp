// The run: the installation directory from the registry, the user's consent, the payloads in order, the outcome.
#include "run_update.h"

#include <cstring>

namespace {

const char AppPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\KaryomWin.exe";

// One run at a time on the machine: the installation is every user's, and two runs would race on the
// same staged and temporary names.
const char RunLockName[] = "Global\\KaryomPernaUpdate";

// How long a run waits for another to finish before it tells the user it cannot start now: longer than
// an update takes once its confirmation is answered, short enough that nobody waits for nothing.
const DWORD RunLockWaitMilliseconds = 30000;

// Room for the executable's own path in wide characters, and what the loader adds to it to find the folder or
// file that redirects its DLL loads.
const DWORD ExecutablePathCapacity = 1024;
const char LoaderRedirectionSuffix[] = ".local";

// Waits a while for no other run to hold the machine's run lock, then takes it; the lock, or NULL when it
// cannot be had: still held after the wait, or the name taken by another kind of object or refused to this
// run (a name any process can squat must not stop the run without a word, nor let it run beside another).
// A lock abandoned by a run that ended without giving it back is taken: what that run left is cleared
// after the confirmation.
HANDLE TakeRunLock()
{
    HANDLE lock = CreateMutexA(NULL, FALSE, RunLockName);
    if (lock == NULL)
        return NULL;
    DWORD waited = WaitForSingleObject(lock, RunLockWaitMilliseconds);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        return lock;
    CloseHandle(lock);
    return NULL;
}

// Gives the run lock back; nothing.
void GiveBackRunLock(HANDLE lock)
{
    ReleaseMutex(lock);
    CloseHandle(lock);
}

// Turns file and registry virtualization off for this process where its token has it on; nothing. Windows
// turns it on for a process that is not elevated and whose image carries no manifest (this one, started where
// installer detection is switched off): its writes to the protected installation folder would then land in the
// user's own store, the run would report the product updated, and the product would stay as it was. Off, such
// a write fails as it is, and the run says so. A system without virtualization (before Vista) fails the query.
void TurnOffVirtualization()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_DEFAULT, &token))
        return;
    DWORD enabled = 0;
    DWORD length = 0;
    if (GetTokenInformation(token, TokenVirtualizationEnabled, &enabled, sizeof enabled, &length) && enabled != 0) {
        DWORD off = 0;
        SetTokenInformation(token, TokenVirtualizationEnabled, &off, sizeof off);
    }
    CloseHandle(token);
}

// The run itself, from the registry to the closing boxes.
void UpdateOnce()
{
    char installDir[InstallPathCapacity];
    if (!ReadInstallationDirectory(installDir, sizeof installDir)) {
        ShowMessage(&MsgProductMissing);
        return;
    }
    // Only a clear yes goes on: a box that could not be shown (0) is no consent.
    if (ShowMessage(&MsgConfirm) != IDOK)
        return;
    // The installation folder is opened and checked once, and every later step reaches it through that
    // handle: a folder renamed, or its path re-pointed at another folder, while the run goes on cannot send a
    // payload or a deletion anywhere else. Where it cannot be opened, each payload fails as it always has.
    HANDLE installFolder;
    OpenCheckedFolder(installDir, &installFolder);
    // What an interrupted run left is cleared whichever payload this run stops at.
    for (int row = 0; row < PayloadCount; ++row)
        RemoveLeftovers(&PayloadTable[row], installFolder);
    // Each payload has told the user of its own failure; the tool's failure ends the run.
    int toolInstalled = InstallPayload(&PayloadTable[ToolRow], installDir, installFolder);
    int dayOffInstalled = toolInstalled && InstallPayload(&PayloadTable[DayOffRow], installDir, installFolder);
    if (installFolder != INVALID_HANDLE_VALUE)
        CloseHandle(installFolder);
    if (!toolInstalled)
        return;
    ShowMessage(&MsgToolUpdated);
    if (!dayOffInstalled)
        ShowMessage(&MsgDayOffFailed);
}

}  // namespace

int ReadInstallationDirectory(char *buffer, DWORD capacity)
{
    memset(buffer, 0, capacity);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, AppPathsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD type = 0;
    DWORD size = capacity;
    LONG status = RegQueryValueExA(key, "Path", NULL, &type, (LPBYTE)buffer, &size);
    RegCloseKey(key);
    // The value's type is not examined. A value stored without its NUL is ended here, unless it fills the
    // whole buffer: then it may be cut short, and a cut path is not the product's.
    if (status != ERROR_SUCCESS || size > capacity || memchr(buffer, '\0', capacity) == NULL) {
        buffer[0] = '\0';
        return 0;
    }
    if (size < capacity)
        buffer[size] = '\0';
    return buffer[0] != '\0';
}

int RefuseLoaderRedirection()
{
    // The loader looks for the redirection beside the executable's own path, whatever the DLL's path given:
    // that path in wide characters, so that no best fit names another entry.
    WCHAR path[ExecutablePathCapacity + sizeof LoaderRedirectionSuffix];
    DWORD length = GetModuleFileNameW(NULL, path, ExecutablePathCapacity);
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    DWORD error = ERROR_FILE_NOT_FOUND;
    if (length == 0 || length >= ExecutablePathCapacity) {
        error = ERROR_INSUFFICIENT_BUFFER;
    } else {
        for (size_t i = 0; i < sizeof LoaderRedirectionSuffix; ++i)
            path[length + i] = (WCHAR)(unsigned char)LoaderRedirectionSuffix[i];
        // Its attributes alone, file or folder, any case: its presence is what redirects.
        attributes = GetFileAttributesW(path);
        if (attributes == INVALID_FILE_ATTRIBUTES)
            error = GetLastError();
    }
    // Only a plain absence lets the run go on: what cannot be looked at may be there.
    if (attributes == INVALID_FILE_ATTRIBUTES && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
        return 0;
    ShowMessage(&MsgCannotStart);
    return 1;
}

int RunUpdate()
{
    // Before any file or registry access: none of them may be redirected.
    TurnOffVirtualization();
    // A second run waits here for the first, and then finds its work done; nothing has been read or
    // changed when it cannot wait any longer.
    HANDLE lock = TakeRunLock();
    if (lock == NULL) {
        ShowMessage(&MsgCannotStart);
        return 0;
    }
    UpdateOnce();
    GiveBackRunLock(lock);
    return 0;
}

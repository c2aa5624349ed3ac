// The stand-in's process token, as far as the updater asks about it: whether file virtualization is enabled.
//
// WINSTUB_VIRTUALIZED (non-empty): the process starts as a process that is not elevated and whose image has no
// manifest starts on Windows, with virtualization enabled. Until it is turned off (SetTokenInformation), a file
// created in, or renamed into, a folder in which nothing may be created (a protected folder: a read-only
// directory of the scenario) lands in the per-user store instead, and a name that has a copy there opens that
// copy (files.cpp). Nothing else is virtualized: not the registry, not writes to files that already exist.
#include "platform.h"
#include "standin.h"

#include <cstdlib>
#include <cstring>

namespace {

// -1 until read from the environment, then 0 or 1.
int virtualized = -1;

}  // namespace

int TokenVirtualized()
{
    if (virtualized < 0) {
        const char *value = getenv("WINSTUB_VIRTUALIZED");
        virtualized = value != NULL && value[0] != '\0';
    }
    return virtualized;
}

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    const StandinCall *failed = StandinEnter(CallOpenProcessToken);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = process == GetCurrentProcess() && token != NULL ? HandleNew(HANDLE_TOKEN) : NULL;
    if (handle == NULL) {
        SetLastError(token == NULL ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The access granted is kept where the path of a file would be: only an adjusting handle may set.
    handle->writable = (access & TOKEN_ADJUST_DEFAULT) != 0;
    snprintf(handle->path, sizeof handle->path, "process token");
    *token = (HANDLE)HandleValue(handle);
    return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass, LPVOID information, DWORD length,
                         PDWORD returnedLength)
{
    const StandinCall *failed = StandinEnter(CallGetTokenInformation);
    if (failed != NULL)
        return (BOOL)failed->failure;
    if (HandleFromValue((uintptr_t)token, HANDLE_TOKEN) == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (informationClass != TokenVirtualizationEnabled || returnedLength == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *returnedLength = sizeof(DWORD);
    if (information == NULL || length < sizeof(DWORD)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    DWORD enabled = (DWORD)TokenVirtualized();
    memcpy(information, &enabled, sizeof enabled);
    return TRUE;
}

BOOL SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass, LPVOID information, DWORD length)
{
    const StandinCall *failed = StandinEnter(CallSetTokenInformation);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)token, HANDLE_TOKEN);
    if (handle == NULL || !handle->writable) {
        SetLastError(handle == NULL ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (informationClass != TokenVirtualizationEnabled || information == NULL || length < sizeof(DWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD enabled;
    memcpy(&enabled, information, sizeof enabled);
    TokenVirtualized();
    virtualized = enabled != 0;
    return TRUE;
}

// The stand-in's calls in one table, the way every call enters (call log, count, injected fault), and the
// last error the calls leave.
//
// WINSTUB_CALLS: the file that receives each call's name, one a line, and the handles left open at exit.
// WINSTUB_FAULT: fail:N, fail-from:N or exit:N, N a call number or a call's name (NAME, NAME#K for its
// K-th call); an exit fault ends the process with status 86 just before the call takes effect.
#include "standin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// The C library's calls set errno, as their callers expect; the registry and LZ calls report their error
// in what they return. Failing a closing call still releases its handle: the caller can do nothing about
// it. A failed fwrite writes half its items first, as a disk that fills up does.
// A table read by its columns: the formatter leaves it alone.
// clang-format off
const StandinCall StandinCalls[StandinCallCount] = {
    // name                     failure result                      last error                      errno
    {"RegOpenKeyExA",           ERROR_ACCESS_DENIED,                0,                              0},
    {"RegQueryValueExA",        ERROR_ACCESS_DENIED,                0,                              0},
    {"RegCloseKey",             ERROR_INVALID_HANDLE,               0,                              0},
    {"FindResourceA",           0,                                  ERROR_RESOURCE_NAME_NOT_FOUND,  0},
    {"LoadResource",            0,                                  ERROR_RESOURCE_DATA_NOT_FOUND,  0},
    {"LockResource",            0,                                  0,                              0},
    {"SizeofResource",          0,                                  ERROR_RESOURCE_DATA_NOT_FOUND,  0},
    {"MessageBoxA",             0,                                  ERROR_NOT_ENOUGH_MEMORY,        0},
    {"getenv",                  0,                                  0,                              0},
    {"GetWindowsDirectoryA",    0,                                  ERROR_NOT_ENOUGH_MEMORY,        0},
    {"SystemTimeToFileTime",    FALSE,                              ERROR_INVALID_PARAMETER,        0},
    {"LocalFileTimeToFileTime", FALSE,                              ERROR_INVALID_PARAMETER,        0},
    {"CreateFileA",             (intptr_t)INVALID_HANDLE_VALUE,     ERROR_ACCESS_DENIED,            0},
    {"GetFileTime",             FALSE,                              ERROR_ACCESS_DENIED,            0},
    {"SetFileTime",             FALSE,                              ERROR_ACCESS_DENIED,            0},
    {"GetFileSize",             INVALID_FILE_SIZE,                  ERROR_ACCESS_DENIED,            0},
    {"CloseHandle",             FALSE,                              ERROR_INVALID_HANDLE,           0},
    {"DeleteFileA",             FALSE,                              ERROR_ACCESS_DENIED,            0},
    {"GetFileAttributesA",      INVALID_FILE_ATTRIBUTES,            ERROR_ACCESS_DENIED,            0},
    {"MoveFileExA",             FALSE,                              ERROR_ACCESS_DENIED,            0},
    {"fopen",                   0,                                  0,                              EACCES},
    {"fwrite",                  0,                                  0,                              ENOSPC},
    {"fclose",                  EOF,                                0,                              0},
    {"remove",                  -1,                                 0,                              EACCES},
    {"LZOpenFileA",             LZERROR_BADINHANDLE,                0,                              0},
    {"LZCopy",                  LZERROR_WRITE,                      0,                              0},
    {"LZClose",                 0,                                  0,                              0},
};
// clang-format on

namespace {

enum FaultKind { FAULT_NONE, FAULT_ONCE, FAULT_FROM, FAULT_EXIT };

// The status of a process ended by an injected "exit" fault.
const int AbruptExitStatus = 86;

struct FaultState {
    int started;
    unsigned long calls;
    FaultKind kind;
    unsigned long faultCall;
    // A fault that names its call: faultCall counts that call's occurrences until it strikes. A name that
    // is no call's never strikes.
    int named;
    const StandinCall *namedCall;
    unsigned long namedCalls;
    int callLog;  // descriptor of WINSTUB_CALLS, or -1
};

FaultState state;
DWORD lastError;

// The row of the call with that name, or NULL.
const StandinCall *CallNamed(const char *name, size_t length)
{
    for (const StandinCall &call : StandinCalls) {
        if (strlen(call.name) == length && strncmp(call.name, name, length) == 0)
            return &call;
    }
    return NULL;
}

// Reads WINSTUB_FAULT: one of the forms above; anything else injects nothing.
void ReadFault(const char *fault)
{
    struct {
        const char *prefix;
        FaultKind kind;
    } const forms[] = {{"fail-from:", FAULT_FROM}, {"fail:", FAULT_ONCE}, {"exit:", FAULT_EXIT}};
    for (const auto &form : forms) {
        size_t n = strlen(form.prefix);
        if (strncmp(fault, form.prefix, n) != 0)
            continue;
        state.kind = form.kind;
        const char *target = fault + n;
        if (*target >= '0' && *target <= '9') {
            state.faultCall = strtoul(target, NULL, 10);
            break;
        }
        // NAME or NAME#K: the K-th call of that name (the first when K is not given); without a name, K
        // (or 1) is a call number.
        size_t length = strcspn(target, "#");
        state.faultCall = target[length] == '#' ? strtoul(target + length + 1, NULL, 10) : 1;
        if (length > 0) {
            state.named = 1;
            state.namedCall = CallNamed(target, length);
        }
        break;
    }
}

void Start()
{
    state.started = 1;
    state.callLog = -1;
    const char *log = getenv("WINSTUB_CALLS");
    if (log != NULL && log[0] != '\0')
        state.callLog = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const char *fault = getenv("WINSTUB_FAULT");
    if (fault != NULL)
        ReadFault(fault);
    atexit(ReportOpenHandles);
}

// Whether the injected fault strikes this call, the number-th of the run; 1 or 0. An exit fault ends the
// process here instead.
int FaultStrikes(const StandinCall *call, unsigned long number)
{
    if (state.named) {
        // A named fault becomes a numbered one at the chosen occurrence of its call.
        if (call != state.namedCall || ++state.namedCalls != state.faultCall)
            return 0;
        state.named = 0;
        state.faultCall = number;
    }
    switch (state.kind) {
    case FAULT_EXIT:
        if (number == state.faultCall)
            _exit(AbruptExitStatus);
        return 0;
    case FAULT_ONCE: return number == state.faultCall;
    case FAULT_FROM: return number >= state.faultCall;
    default: return 0;
    }
}

}  // namespace

DWORD GetLastError(void)
{
    return lastError;
}

void SetLastError(DWORD error)
{
    lastError = error;
}

void CallLogWrite(const char *line)
{
    if (state.callLog < 0)
        return;
    size_t length = strlen(line);
    // One write per line, so that a line is whole even when the process ends abruptly after it.
    char buffer[4200];
    if (length + 1 > sizeof buffer)
        length = sizeof buffer - 1;
    memcpy(buffer, line, length);
    buffer[length] = '\n';
    ssize_t ignored = write(state.callLog, buffer, length + 1);
    (void)ignored;
}

const StandinCall *StandinEnter(StandinCallId id)
{
    if (!state.started)
        Start();
    const StandinCall *call = &StandinCalls[id];
    unsigned long number = ++state.calls;
    CallLogWrite(call->name);
    if (!FaultStrikes(call, number))
        return NULL;
    if (call->lastError != 0)
        SetLastError(call->lastError);
    if (call->errnoValue != 0)
        errno = call->errnoValue;
    return call;
}

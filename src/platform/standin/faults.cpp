// The stand-in's calls in one table, the way every call enters (call log, count, injected fault), and the
// last error the calls leave.
//
// WINSTUB_CALLS: the file that receives each call's name, one a line, and the handles left open at exit.
// WINSTUB_FAULT: comma-separated faults, each fail:N, fail-from:N or exit:N, N a call number (from 1) or a
// call's name (NAME, NAME#K for its K-th call); an exit fault ends the process with status 86 just before
// the call takes effect. Anything else ends the process at its first call with status 85 and a message.
#include "standin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// The C library's calls set errno, as their callers expect; the registry, LZ and ntdll calls report their
// error in what they return. Failing a closing call (a close, CryptDestroyHash, CryptReleaseContext) still
// releases its handle: the caller can do nothing about it. A failed WriteFile writes half its bytes first,
// as a disk that fills up does. A failed Sleep returns at once, as a wait cut short.
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
    {"GetFileAttributesA",      INVALID_FILE_ATTRIBUTES,            ERROR_ACCESS_DENIED,            0},
    {"WriteFile",               FALSE,                              ERROR_DISK_FULL,                0},
    {"SetFilePointer",          INVALID_SET_FILE_POINTER,           ERROR_INVALID_PARAMETER,        0},
    {"FlushFileBuffers",        FALSE,                              ERROR_WRITE_FAULT,              0},
    {"GetFileInformationByHandle", FALSE,                           ERROR_ACCESS_DENIED,            0},
    {"GetFinalPathNameByHandleW", 0,                                ERROR_NOT_ENOUGH_MEMORY,        0},
    {"NtSetInformationFile",    STATUS_ACCESS_DENIED,               0,                              0},
    {"LZInit",                  LZERROR_GLOBALLOC,                  0,                              0},
    {"LZCopy",                  LZERROR_WRITE,                      0,                              0},
    {"LZClose",                 0,                                  0,                              0},
    {"ReadFile",                FALSE,                              ERROR_READ_FAULT,               0},
    {"CryptAcquireContextA",    FALSE,                              ERROR_NOT_ENOUGH_MEMORY,        0},
    {"CryptCreateHash",         FALSE,                              ERROR_NOT_ENOUGH_MEMORY,        0},
    {"CryptHashData",           FALSE,                              ERROR_NOT_ENOUGH_MEMORY,        0},
    {"CryptGetHashParam",       FALSE,                              ERROR_NOT_ENOUGH_MEMORY,        0},
    {"CryptDestroyHash",        FALSE,                              ERROR_INVALID_HANDLE,           0},
    {"CryptReleaseContext",     FALSE,                              ERROR_INVALID_HANDLE,           0},
    {"CreateMutexA",            0,                                  ERROR_ACCESS_DENIED,            0},
    {"WaitForSingleObject",     WAIT_FAILED,                        ERROR_INVALID_HANDLE,           0},
    {"ReleaseMutex",            FALSE,                              ERROR_NOT_OWNER,                0},
    {"GetFullPathNameA",        0,                                  ERROR_NOT_ENOUGH_MEMORY,        0},
    {"NtCreateFile",            STATUS_ACCESS_DENIED,               0,                              0},
    {"GetFileType",             FILE_TYPE_UNKNOWN,                  ERROR_INVALID_HANDLE,           0},
    {"GetFileInformationByHandleEx", FALSE,                         ERROR_INVALID_PARAMETER,        0},
    {"DuplicateHandle",         FALSE,                              ERROR_NOT_ENOUGH_MEMORY,        0},
    {"OpenProcessToken",        FALSE,                              ERROR_ACCESS_DENIED,            0},
    {"GetTokenInformation",     FALSE,                              ERROR_INVALID_PARAMETER,        0},
    {"SetTokenInformation",     FALSE,                              ERROR_PRIVILEGE_NOT_HELD,       0},
    {"Sleep",                   0,                                  0,                              0},
    {"CompareStringOrdinal",    0,                                  ERROR_INVALID_PARAMETER,        0},
    {"NtQueryVolumeInformationFile", STATUS_ACCESS_DENIED,          0,                              0},
    {"LZRead",                  LZERROR_READ,                       0,                              0},
    {"GetModuleFileNameW",      0,                                  ERROR_NOT_ENOUGH_MEMORY,        0},
    {"GetFileAttributesW",      INVALID_FILE_ATTRIBUTES,            ERROR_ACCESS_DENIED,            0},
};
// clang-format on

namespace {

enum FaultKind { FAULT_ONCE, FAULT_FROM, FAULT_EXIT };

// The status of a process ended by an injected "exit" fault, and of one whose WINSTUB_FAULT is not
// understood (which runs nothing, so that a mistyped fault cannot pass for a run that survived it).
const int AbruptExitStatus = 86;
const int BadFaultStatus = 85;
const size_t FaultCapacity = 16;

struct Fault {
    FaultKind kind;
    // The call it strikes, by its number in the run; a named fault learns it at the chosen occurrence
    // (the occurrence-th call of namedCall) and is armed from then on.
    unsigned long number;
    const StandinCall *namedCall;
    unsigned long occurrence;
    unsigned long seen;
    int armed;
};

struct FaultState {
    int started;
    unsigned long calls;
    Fault faults[FaultCapacity];
    size_t faultCount;
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

// Ends the process, before any call has taken effect, saying which entry of WINSTUB_FAULT is wrong and why.
[[noreturn]] void RefuseFault(const char *entry, size_t length, const char *why)
{
    fprintf(stderr, "standin: WINSTUB_FAULT: \"%.*s\": %s\n", (int)length, entry, why);
    _exit(BadFaultStatus);
}

// A call number or occurrence of length digits: 1 or more; 0 when it is none.
unsigned long PositiveNumber(const char *text, size_t length)
{
    if (length == 0 || length > 9)
        return 0;
    unsigned long value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        value = value * 10 + (unsigned long)(text[i] - '0');
    }
    return value;
}

// Reads one entry, KIND:N, KIND:NAME or KIND:NAME#K, into a fault; a malformed entry ends the process.
Fault ReadFaultEntry(const char *entry, size_t length)
{
    struct {
        const char *prefix;
        FaultKind kind;
    } const forms[] = {{"fail-from:", FAULT_FROM}, {"fail:", FAULT_ONCE}, {"exit:", FAULT_EXIT}};
    for (const auto &form : forms) {
        size_t n = strlen(form.prefix);
        if (length < n || strncmp(entry, form.prefix, n) != 0)
            continue;
        Fault fault = {form.kind, 0, NULL, 0, 0, 0};
        const char *target = entry + n;
        size_t targetLength = length - n;
        if (targetLength > 0 && target[0] >= '0' && target[0] <= '9') {
            fault.number = PositiveNumber(target, targetLength);
            if (fault.number == 0)
                RefuseFault(entry, length, "a call number is 1 or more, in digits");
            fault.armed = 1;
            return fault;
        }
        const char *hash = (const char *)memchr(target, '#', targetLength);
        size_t nameLength = hash != NULL ? (size_t)(hash - target) : targetLength;
        fault.namedCall = CallNamed(target, nameLength);
        if (fault.namedCall == NULL)
            RefuseFault(entry, length, nameLength == 0 ? "no call named" : "no call of that name");
        fault.occurrence = hash != NULL ? PositiveNumber(hash + 1, targetLength - nameLength - 1) : 1;
        if (fault.occurrence == 0)
            RefuseFault(entry, length, "the occurrence after # is 1 or more, in digits");
        return fault;
    }
    RefuseFault(entry, length, "not fail:, fail-from: or exit:");
}

// Reads WINSTUB_FAULT: comma-separated entries, each struck independently; empty, it holds none.
void ReadFaults(const char *text)
{
    if (*text == '\0')
        return;
    for (const char *entry = text;; ++entry) {
        size_t length = strcspn(entry, ",");
        if (length == 0)
            RefuseFault(text, strlen(text), "an empty entry between commas");
        if (state.faultCount == FaultCapacity)
            RefuseFault(entry, length, "more faults than the stand-in holds (16)");
        state.faults[state.faultCount++] = ReadFaultEntry(entry, length);
        entry += length;
        if (*entry == '\0')
            return;
    }
}

void Start()
{
    state.started = 1;
    state.callLog = -1;
    const char *faults = getenv("WINSTUB_FAULT");
    if (faults != NULL)
        ReadFaults(faults);
    const char *log = getenv("WINSTUB_CALLS");
    if (log != NULL && log[0] != '\0')
        state.callLog = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    atexit(ReportOpenHandles);
}

// Whether an injected fault strikes this call, the number-th of the run; 1 or 0. An exit fault ends the
// process here instead.
int FaultStrikes(const StandinCall *call, unsigned long number)
{
    int strikes = 0;
    for (size_t i = 0; i < state.faultCount; ++i) {
        Fault *fault = &state.faults[i];
        if (!fault->armed) {
            if (call != fault->namedCall || ++fault->seen != fault->occurrence)
                continue;
            fault->armed = 1;
            fault->number = number;
        }
        switch (fault->kind) {
        case FAULT_EXIT:
            if (number == fault->number) {
                // The system still closes what the process had open.
                CloseFilesAtExit();
                _exit(AbruptExitStatus);
            }
            break;
        case FAULT_ONCE: strikes |= number == fault->number; break;
        case FAULT_FROM: strikes |= number >= fault->number; break;
        }
    }
    return strikes;
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

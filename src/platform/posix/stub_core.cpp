// The stand-in's counting place (call log, injected faults, handle check at exit), handles and paths.
#include "stub.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum FaultKind { FAULT_NONE, FAULT_ONCE, FAULT_FROM, FAULT_EXIT };

// The status of a process ended by an injected "exit" fault.
const int AbruptExitStatus = 86;
const size_t HandleCapacity = 64;
const uintptr_t HandleBase = 0x1000;

struct StubState {
    int started;
    unsigned long calls;
    FaultKind fault;
    unsigned long faultCall;
    // A fault named by its call instead of its number: the faultCall-th call of this name.
    char faultName[64];
    unsigned long namedCalls;
    int callLog;  // descriptor of WINSTUB_CALLS, or -1
    StubHandle handles[HandleCapacity];
};

StubState state;
DWORD lastError;

void WriteLog(const char *line)
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

const char *KindName(HandleKind kind)
{
    switch (kind) {
    case HANDLE_FILE: return "file";
    case HANDLE_KEY: return "key";
    case HANDLE_LZ: return "lz";
    case HANDLE_STREAM: return "stream";
    default: return "free";
    }
}

// At a normal exit, every handle still open is a leak of the logic's.
void ReportLeaks()
{
    for (size_t i = 0; i < HandleCapacity; ++i) {
        const StubHandle *h = &state.handles[i];
        if (h->kind == HANDLE_FREE)
            continue;
        char line[4200];
        snprintf(line, sizeof line, "LEAK %s %s", KindName(h->kind), h->path);
        WriteLog(line);
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
    if (fault != NULL) {
        struct { const char *prefix; FaultKind kind; } const forms[] = {
            {"fail-from:", FAULT_FROM}, {"fail:", FAULT_ONCE}, {"exit:", FAULT_EXIT}};
        for (const auto &form : forms) {
            size_t n = strlen(form.prefix);
            if (strncmp(fault, form.prefix, n) != 0)
                continue;
            state.fault = form.kind;
            const char *target = fault + n;
            if (*target >= '0' && *target <= '9') {
                state.faultCall = strtoul(target, NULL, 10);
            } else {
                // NAME or NAME#K: the K-th call of that name (the first when K is not given).
                size_t length = strcspn(target, "#");
                if (length >= sizeof state.faultName)
                    length = sizeof state.faultName - 1;
                memcpy(state.faultName, target, length);
                state.faultName[length] = '\0';
                state.faultCall = target[length] == '#' ? strtoul(target + length + 1, NULL, 10) : 1;
            }
            break;
        }
    }
    atexit(ReportLeaks);
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

int WinstubEnter(const char *name)
{
    if (!state.started)
        Start();
    unsigned long call = ++state.calls;
    WriteLog(name);
    if (state.faultName[0] != '\0') {
        // A named fault becomes a numbered one at the chosen occurrence of its call.
        if (strcmp(name, state.faultName) != 0 || ++state.namedCalls != state.faultCall)
            return 1;
        state.faultName[0] = '\0';
        state.faultCall = call;
    }
    switch (state.fault) {
    case FAULT_EXIT:
        if (call == state.faultCall)
            _exit(AbruptExitStatus);
        break;
    case FAULT_ONCE:
        if (call == state.faultCall)
            return 0;
        break;
    case FAULT_FROM:
        if (call >= state.faultCall)
            return 0;
        break;
    default:
        break;
    }
    return 1;
}

StubHandle *HandleNew(HandleKind kind)
{
    for (size_t i = 0; i < HandleCapacity; ++i) {
        StubHandle *h = &state.handles[i];
        if (h->kind == HANDLE_FREE) {
            memset(h, 0, sizeof *h);
            h->kind = kind;
            h->fd = -1;
            return h;
        }
    }
    return NULL;
}

uintptr_t HandleValue(const StubHandle *handle)
{
    return HandleBase + 4 * (uintptr_t)(handle - state.handles);
}

StubHandle *HandleFromValue(uintptr_t value, HandleKind kind)
{
    if (value < HandleBase || (value - HandleBase) % 4 != 0)
        return NULL;
    uintptr_t index = (value - HandleBase) / 4;
    if (index >= HandleCapacity || state.handles[index].kind != kind)
        return NULL;
    return &state.handles[index];
}

StubHandle *HandleFromStream(FILE *stream)
{
    for (size_t i = 0; i < HandleCapacity; ++i)
        if (state.handles[i].kind == HANDLE_STREAM && state.handles[i].stream == stream)
            return &state.handles[i];
    return NULL;
}

void HandleFree(StubHandle *handle)
{
    memset(handle, 0, sizeof *handle);
    handle->kind = HANDLE_FREE;
    handle->fd = -1;
}

int SjisCompareNoCaseN(const char *a, const char *b, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        unsigned char x = (unsigned char)a[i];
        unsigned char y = (unsigned char)b[i];
        // A lead byte and its trail byte compare exactly: a trail byte may look like an ASCII letter.
        if ((x >= 0x81 && x <= 0x9F) || (x >= 0xE0 && x <= 0xFC)) {
            if (x != y)
                return x < y ? -1 : 1;
            if (i + 1 < length) {
                ++i;
                if (a[i] != b[i])
                    return (unsigned char)a[i] < (unsigned char)b[i] ? -1 : 1;
                if (a[i] == '\0')
                    return 0;
            }
            continue;
        }
        if (x >= 'a' && x <= 'z')
            x = (unsigned char)(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = (unsigned char)(y - 'a' + 'A');
        if (x != y)
            return x < y ? -1 : 1;
        if (x == '\0')
            return 0;
    }
    return 0;
}

int SjisCompareNoCase(const char *a, const char *b)
{
    return SjisCompareNoCaseN(a, b, (size_t)-1);
}

namespace {

// Appends the component to the host path, in the case of an existing entry that differs only in case.
int AppendComponent(char *host, size_t capacity, const char *component, size_t length)
{
    size_t used = strlen(host);
    if (used + 1 + length + 1 > capacity)
        return 0;
    char name[1024];
    if (length >= sizeof name)
        return 0;
    memcpy(name, component, length);
    name[length] = '\0';
    if (used == 0 || host[used - 1] != '/')
        host[used++] = '/';
    host[used] = '\0';

    struct stat st;
    memcpy(host + used, name, length + 1);
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || lstat(host, &st) == 0)
        return 1;
    host[used] = '\0';
    DIR *dir = opendir(used > 0 ? host : ".");
    if (dir != NULL) {
        struct dirent *entry;
        while ((entry = readdir(dir)) != NULL) {
            if (strlen(entry->d_name) == length && SjisCompareNoCase(entry->d_name, name) == 0) {
                memcpy(name, entry->d_name, length + 1);
                break;
            }
        }
        closedir(dir);
    }
    memcpy(host + used, name, length + 1);
    return 1;
}

}  // namespace

int HostPath(const char *windowsPath, char *hostPath, size_t capacity)
{
    // The ANSI functions refuse paths of MAX_PATH bytes and more.
    if (strlen(windowsPath) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    const char *rest = windowsPath;
    hostPath[0] = '\0';
    char letter = windowsPath[0];
    if (letter != '\0' && windowsPath[1] == ':' &&
        ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'))) {
        char variable[] = "WINSTUB_DRIVE_C";
        variable[sizeof variable - 2] = (char)(letter & ~0x20);
        const char *root = getenv(variable);
        if (root == NULL || root[0] == '\0' || strlen(root) + 1 > capacity) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return 0;
        }
        strcpy(hostPath, root);
        rest = windowsPath + 2;
    } else if (windowsPath[0] == '\\' || windowsPath[0] == '/') {
        // A rooted path without a drive is on drive C:.
        const char *root = getenv("WINSTUB_DRIVE_C");
        if (root == NULL || root[0] == '\0' || strlen(root) + 1 > capacity) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return 0;
        }
        strcpy(hostPath, root);
    }
    while (*rest != '\0') {
        while (*rest == '\\' || *rest == '/')
            ++rest;
        size_t length = strcspn(rest, "\\/");
        if (length == 0)
            break;
        if (!AppendComponent(hostPath, capacity, rest, length)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        rest += length;
    }
    if (hostPath[0] == '\0')
        strcpy(hostPath, ".");
    return 1;
}

DWORD ErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: case EISDIR: case EROFS: return ERROR_ACCESS_DENIED;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC: case EDQUOT: return ERROR_DISK_FULL;
    case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_ACCESS_DENIED;
    }
}

int HostFileHeld(const char *hostPath, int exclusive)
{
    int fd = open(hostPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int held = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

int HostFileReadOnly(const char *hostPath)
{
    struct stat st;
    return stat(hostPath, &st) == 0 && (st.st_mode & S_IWUSR) == 0;
}

// The stand-in's kernel objects and waits: mutexes, named ones shared by every stand-in process of one machine, and
// Sleep.
//
// WINSTUB_MACHINE: a directory that stands for the machine's object namespace; a named mutex is a file
// there, locked (flock) by the process that owns it and marked while owned, so that the next owner can
// tell a mutex given back from one abandoned by a process that ended. Unset: each process has a
// namespace of its own.
#include "standin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// A mutex's file in the machine's directory: the name's bytes in hex, as a name may hold any of them.
int OpenNamedMutexFile(const char *name)
{
    const char *machine = getenv("WINSTUB_MACHINE");
    if (machine == NULL || machine[0] == '\0')
        return -2;
    char path[HostPathCapacity];
    int used = snprintf(path, sizeof path, "%s/mutex-", machine);
    for (const unsigned char *p = (const unsigned char *)name; *p != '\0' && used > 0; ++p)
        used += snprintf(path + used, used < (int)sizeof path ? sizeof path - (size_t)used : 0, "%02x", *p);
    if (used <= 0 || used >= (int)sizeof path)
        return -1;
    return open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

// Takes the lock of a mutex that is not ours yet; WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or WAIT_FAILED.
DWORD TakeMutex(StandinHandle *mutex, DWORD milliseconds)
{
    if (mutex->fd >= 0) {
        int operation = LOCK_EX | (milliseconds == INFINITE ? 0 : LOCK_NB);
        while (flock(mutex->fd, operation) != 0) {
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK)
                return WAIT_FAILED;
            if (milliseconds == 0)
                return WAIT_TIMEOUT;
            // A finite wait: look again every few milliseconds until it is over.
            DWORD step = milliseconds < 5 ? milliseconds : 5;
            usleep(step * 1000);
            milliseconds -= step;
        }
    }
    char mark = 0;
    int abandoned = mutex->fd >= 0 && pread(mutex->fd, &mark, 1, 0) == 1;
    if (mutex->fd >= 0 && pwrite(mutex->fd, "1", 1, 0) != 1) {
        flock(mutex->fd, LOCK_UN);
        return WAIT_FAILED;
    }
    mutex->owned = 1;
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

}  // namespace

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name)
{
    const StandinCall *failed = StandinEnter(CallCreateMutexA);
    if (failed != NULL)
        return (HANDLE)failed->failure;
    StandinHandle *mutex = HandleNew(HANDLE_MUTEX);
    if (mutex == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    if (name != NULL) {
        mutex->fd = OpenNamedMutexFile(name);
        if (mutex->fd == -1) {
            HandleFree(mutex);
            SetLastError(ERROR_ACCESS_DENIED);
            return NULL;
        }
        snprintf(mutex->path, sizeof mutex->path, "%s", name);
    }
    if (mutex->fd < 0)
        mutex->fd = -1;
    SetLastError(ERROR_SUCCESS);
    if (initialOwner && TakeMutex(mutex, 0) != WAIT_OBJECT_0)
        mutex->owned = 0;
    return (HANDLE)HandleValue(mutex);
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    const StandinCall *failed = StandinEnter(CallWaitForSingleObject);
    if (failed != NULL)
        return (DWORD)failed->failure;
    StandinHandle *mutex = HandleFromValue((uintptr_t)object, HANDLE_MUTEX);
    if (mutex == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    // A mutex its owner waits for again is taken once more.
    if (mutex->owned) {
        ++mutex->owned;
        return WAIT_OBJECT_0;
    }
    return TakeMutex(mutex, milliseconds);
}

BOOL ReleaseMutex(HANDLE object)
{
    const StandinCall *failed = StandinEnter(CallReleaseMutex);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *mutex = HandleFromValue((uintptr_t)object, HANDLE_MUTEX);
    if (mutex == NULL || !mutex->owned) {
        SetLastError(mutex == NULL ? ERROR_INVALID_HANDLE : ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--mutex->owned == 0 && mutex->fd >= 0) {
        // Given back: the next owner finds no mark.
        if (ftruncate(mutex->fd, 0) != 0) {
            ++mutex->owned;
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        flock(mutex->fd, LOCK_UN);
    }
    return TRUE;
}

void Sleep(DWORD milliseconds)
{
    // Really waits: the tests' holders let go of a file after a time of the host's clock.
    if (StandinEnter(CallSleep) != NULL)
        return;
    usleep((useconds_t)milliseconds * 1000);
}

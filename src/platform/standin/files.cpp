// The stand-in's files: kernel32's file calls and the C library's, with Windows' sharing and read-only rules.
#include "platform.h"
#include "standin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

int HostDirectoryWritable(const char *hostPath)
{
    char parent[HostPathCapacity];
    snprintf(parent, sizeof parent, "%s", hostPath);
    char *slash = strrchr(parent, '/');
    if (slash == NULL)
        snprintf(parent, sizeof parent, ".");
    else if (slash == parent)
        parent[1] = '\0';
    else
        *slash = '\0';
    struct stat st;
    return stat(parent, &st) != 0 || (st.st_mode & S_IWUSR) != 0;
}

namespace {

// Windows' error code for a failed host file operation's errno.
DWORD ErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_ACCESS_DENIED;
    }
}

// Whether another open of the host file holds it with a conflicting lock (tries and releases one); 1 when
// held, 0 when free or absent. exclusive: the open asks for exclusive access.
int HostFileHeld(const char *hostPath, int exclusive)
{
    int fd = open(hostPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int held = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

// The error for a path that does not exist: the file, or a directory on the way to it.
DWORD MissingError(const char *hostPath)
{
    char parent[HostPathCapacity];
    snprintf(parent, sizeof parent, "%s", hostPath);
    char *slash = strrchr(parent, '/');
    if (slash == NULL)
        return ERROR_FILE_NOT_FOUND;
    *slash = '\0';
    struct stat st;
    if (parent[0] != '\0' && (stat(parent, &st) != 0 || !S_ISDIR(st.st_mode)))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

// Opens a host file as Windows would; the descriptor, or -1 with the last error set.
// exclusive: share mode 0 (a lock that no other open may share); otherwise one that only an exclusive
// holder refuses.
int OpenHostFile(const char *hostPath, int write, int create, int truncate, int exclusive)
{
    struct stat st;
    int exists = stat(hostPath, &st) == 0;
    if (!exists && !create) {
        SetLastError(MissingError(hostPath));
        return -1;
    }
    if (exists && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    // Root may write anything; Windows' read-only attribute stops even the administrator, and so does a
    // directory in which nobody may create files.
    if ((exists && write && (st.st_mode & S_IWUSR) == 0) || (!exists && !HostDirectoryWritable(hostPath))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    int fd = open(hostPath, (write ? O_RDWR : O_RDONLY) | (create ? O_CREAT : 0) | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? MissingError(hostPath) : ErrorFromErrno(errno));
        return -1;
    }
    if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return -1;
    }
    // Truncated only once the file is known to be ours to change.
    if (truncate && ftruncate(fd, 0) != 0) {
        SetLastError(ErrorFromErrno(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// Whether an open of the file stops its deletion, or its move either way: one of this process's that does
// not share delete, or another process's that shares nothing (an exclusive lock). Another process's open
// that shares takes a shared lock, and stands for one that shares everything, delete included, as the
// holds the tests make do. 1 or 0.
int DeleteBlockedBySharingOtherThan(const char *hostPath, const StandinHandle *except)
{
    struct stat st;
    if (stat(hostPath, &st) != 0)
        return 0;
    for (StandinHandle *h = HandleNextOfKind(NULL, HANDLE_FILE); h != NULL; h = HandleNextOfKind(h, HANDLE_FILE)) {
        struct stat open;
        if ((except == NULL || h->object != except->object) && fstat(h->fd, &open) == 0 && open.st_dev == st.st_dev &&
            open.st_ino == st.st_ino && (h->shareMode & FILE_SHARE_DELETE) == 0)
            return 1;
    }
    // The handle's own lock is not another's: a file it holds unshared is found free.
    return except == NULL && HostFileHeld(hostPath, 0);
}

int DeleteBlockedBySharing(const char *hostPath)
{
    return DeleteBlockedBySharingOtherThan(hostPath, NULL);
}

// A host file's Windows attributes: a folder, read-only (no owner write bit), or normal.
DWORD AttributesOf(const struct stat &st)
{
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if ((st.st_mode & S_IWUSR) == 0)
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// Whether any open of the file, by this process or another, would stop it from being replaced: Windows
// refuses to rename over a file that is open at all, whatever its sharing. 1 or 0.
int OpenAnywhere(const char *hostPath)
{
    struct stat st;
    if (stat(hostPath, &st) != 0)
        return 0;
    for (StandinHandle *h = HandleNextOfKind(NULL, HANDLE_FILE); h != NULL; h = HandleNextOfKind(h, HANDLE_FILE)) {
        struct stat open;
        if (fstat(h->fd, &open) == 0 && open.st_dev == st.st_dev && open.st_ino == st.st_ino)
            return 1;
    }
    return HostFileHeld(hostPath, 1);
}

// The host path of the entry a handle was opened through; 1, or 0.
int HandleHostPath(const StandinHandle *handle, char *host, size_t capacity)
{
    DWORD saved = GetLastError();
    int found = HostPath(handle->path, host, capacity);
    SetLastError(saved);
    return found;
}

// Whether the entry at hostPath (not following a link there) is the file open on fd; 1 or 0.
int EntryIsOpenFile(const char *hostPath, int fd)
{
    struct stat entry, open;
    return lstat(hostPath, &entry) == 0 && fstat(fd, &open) == 0 && entry.st_dev == open.st_dev &&
           entry.st_ino == open.st_ino;
}

// Forms folder\name in path, adding '\' unless the folder's last character is one (a trail byte 0x5C of a
// double-byte character is not); 1, or 0 when it does not fit.
int JoinInFolder(const char *folder, const char *name, char *path, size_t capacity)
{
    int separator = 0;
    for (const unsigned char *p = (const unsigned char *)folder; *p != '\0'; ++p) {
        separator = *p == '\\';
        if (p[1] != '\0' && Cp932IsLeadByte(*p))
            ++p;
    }
    int written = snprintf(path, capacity, "%s%s%s", folder, separator ? "" : "\\", name);
    return written >= 0 && (size_t)written < capacity;
}

// The host file at a Windows path in UTF-8, and the path of its folder resolved by the host; 1, or 0.
int ResolvedFolderAndName(const char *hostPath, std::string *folder, std::string *name)
{
    const char *slash = strrchr(hostPath, '/');
    if (slash == NULL)
        return 0;
    std::string parent(hostPath, (size_t)(slash - hostPath));
    char *real = realpath(parent.empty() ? "/" : parent.c_str(), NULL);
    if (real == NULL)
        return 0;
    *folder = real;
    free(real);
    *name = slash + 1;
    return 1;
}

// Whether the stand-in's variable is set to anything; 1 or 0.
int EnvironmentSet(const char *variable)
{
    const char *value = getenv(variable);
    return value != NULL && value[0] != '\0';
}

// Whether the entry at the host path (not following a link there) is one of the files whose host paths the
// variable lists, one a line; 1 or 0.
int ListedInVariable(const char *variable, const char *hostPath)
{
    const char *list = getenv(variable);
    struct stat entry;
    if (list == NULL || lstat(hostPath, &entry) != 0)
        return 0;
    for (const char *line = list; *line != '\0';) {
        size_t length = strcspn(line, "\n");
        std::string listed(line, length);
        struct stat st;
        if (lstat(listed.c_str(), &st) == 0 && st.st_dev == entry.st_dev && st.st_ino == entry.st_ino)
            return 1;
        line += length;
        if (*line == '\n')
            ++line;
    }
    return 0;
}

// WINSTUB_OPLOCKED: files (host paths, one a line) on which another process holds, for as long as it holds the
// file open, an oplock that every open for data breaks (a batch oplock) and that it never acknowledges. Whether
// the host file is such a one now; 1 or 0.
int OplockedByAnother(const char *hostPath)
{
    return ListedInVariable("WINSTUB_OPLOCKED", hostPath) && HostFileHeld(hostPath, 1);
}

// What an operation that waits for an oplock break does when the break is never acknowledged: it never ends.
[[noreturn]] void WaitForBreakAcknowledgment()
{
    for (;;)
        sleep(60);
}

// WINSTUB_REMOTE_DRIVES: the drive letters that stand for network drives (a redirector's, not a disk's).
// Whether the Windows path lies on one; 1 or 0.
int OnRemoteDrive(const char *windowsPath)
{
    char full[HostPathCapacity];
    const char *drives = getenv("WINSTUB_REMOTE_DRIVES");
    if (drives == NULL || !FullWindowsPath(windowsPath, full, sizeof full))
        return 0;
    // "C:\...", or "\\?\C:\..." and "\\.\C:\...".
    const char *letter = full[1] == ':'                                                              ? full
                         : strlen(full) >= 6 && full[0] == '\\' && full[1] == '\\' && full[5] == ':' ? full + 4
                                                                                                     : NULL;
    if (letter == NULL)
        return 0;
    for (const char *d = drives; *d != '\0'; ++d)
        if ((*d & ~0x20) == (*letter & ~0x20))
            return 1;
    return 0;
}

}  // namespace

namespace {

// Where a process with virtualization enabled finds what it writes to a protected folder of drive C: the same
// path under the user's store ("C:\Karyom\PERNA.EXE" -> "C:\Users\user\AppData\Local\VirtualStore\Karyom\PERNA.EXE").
const char VirtualStoreRoot[] = "C:\\Users\\user\\AppData\\Local\\VirtualStore\\";

// Makes the host directories above a host path that are missing (the store's folders, as Windows makes
// them on the first redirected write); nothing.
void MakeHostParents(const char *hostPath)
{
    char parent[HostPathCapacity];
    snprintf(parent, sizeof parent, "%s", hostPath);
    for (char *slash = strchr(parent + 1, '/'); slash != NULL; slash = strchr(slash + 1, '/')) {
        *slash = '\0';
        mkdir(parent, 0755);
        *slash = '/';
    }
}

// The store's path for a file path, when the token is virtualized and the file is to be looked for there: a
// copy is there already, or the name is being written (renaming: always; creating: when nothing is at the
// name) in a folder in which nothing may be created. 1 with the path in stored (its folders made), or 0.
int VirtualizedPath(const char *path, int renaming, int creating, char *stored, size_t capacity)
{
    char full[HostPathCapacity], host[HostPathCapacity], storedHost[HostPathCapacity];
    DWORD saved = GetLastError();
    int redirect = 0;
    struct stat st;
    if (TokenVirtualized() && FullWindowsPath(path, full, sizeof full) && (full[0] == 'C' || full[0] == 'c') &&
        full[1] == ':' && full[2] == '\\' &&
        snprintf(stored, capacity, "%s%s", VirtualStoreRoot, full + 3) < (int)capacity &&
        HostPath(full, host, sizeof host) && HostPath(stored, storedHost, sizeof storedHost)) {
        if (lstat(storedHost, &st) == 0)
            redirect = 1;
        else if ((renaming || (creating && lstat(host, &st) != 0)) && !HostDirectoryWritable(host))
            redirect = 2;
    }
    if (redirect == 2)
        MakeHostParents(storedHost);
    SetLastError(saved);
    return redirect != 0;
}

// The root of the named-pipe file system ("\\.\pipe\"), as an open of it for naming pipes in would get it:
// a folder of sorts, but none on a disk. The pipes below it have no servers here.
const char PipeRoot[] = "\\\\.\\pipe\\";

// Whether the full path is the pipe root (1), a pipe below it (2), or neither (0).
int PipePathKind(const char *path)
{
    char full[HostPathCapacity];
    if (!FullWindowsPath(path, full, sizeof full))
        return 0;
    size_t rootLength = strlen(PipeRoot);
    if (SjisCompareNoCaseN(full, PipeRoot, rootLength - 1) != 0 ||
        (full[rootLength - 1] != '\\' && full[rootLength - 1] != '\0'))
        return 0;
    return full[rootLength - 1] == '\0' || full[rootLength] == '\0' ? 1 : 2;
}

// Opens a file or folder as CreateFileA does, without entering a call; the handle, or INVALID_HANDLE_VALUE with
// the last error set.
HANDLE OpenWindowsFile(LPCSTR path, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags)
{
    int pipeKind = PipePathKind(path);
    if (pipeKind == 2) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (pipeKind == 1) {
        StandinHandle *root = disposition == OPEN_EXISTING ? HandleNew(HANDLE_FILE) : NULL;
        if (root == NULL || (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
            if (root != NULL)
                HandleFree(root);
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        root->fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        root->directory = 1;
        root->pipe = 1;
        root->shareMode = shareMode;
        snprintf(root->path, sizeof root->path, "%s", path);
        return (HANDLE)HandleValue(root);
    }
    // A file, not a folder, may be found in or put into the user's store instead.
    char stored[HostPathCapacity];
    int creating = disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING;
    if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0 && VirtualizedPath(path, 0, creating, stored, sizeof stored))
        path = stored;
    char host[HostPathCapacity];
    if (!HostPath(path, host, sizeof host))
        return INVALID_HANDLE_VALUE;
    int create = 0, truncate = 0;
    struct stat st;
    int exists = stat(host, &st) == 0;
    // CREATE_NEW finds whatever is at the name, a link to nowhere too.
    int entry = exists || lstat(host, &st) == 0;
    switch (disposition) {
    case OPEN_EXISTING: break;
    case CREATE_ALWAYS:
        create = 1;
        truncate = 1;
        break;
    case OPEN_ALWAYS: create = 1; break;
    case TRUNCATE_EXISTING: truncate = 1; break;
    case CREATE_NEW:
        if (entry) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        create = 1;
        break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    int write = (access & GENERIC_WRITE) != 0;
    int deleteAccess = (access & DELETE) != 0 || (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    int directory = exists && S_ISDIR(st.st_mode) && (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0;
    // A folder that another process holds open sharing nothing keeps out every open that would list it.
    if (directory && (access & ~(FILE_READ_ATTRIBUTES | SYNCHRONIZE)) != 0 && HostFileHeld(host, 0)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    // Deleting needs the folder's leave, and nobody else's open may refuse to share it.
    if (deleteAccess && !directory) {
        if (!HostDirectoryWritable(host)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (exists && DeleteBlockedBySharing(host)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    }
    StandinHandle *handle = HandleNew(HANDLE_FILE);
    if (handle == NULL) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return INVALID_HANDLE_VALUE;
    }
    // An open for attributes alone meets no sharing, and a folder is opened only to be named or to name
    // files in: neither takes a lock.
    int attributesOnly = !exists || S_ISDIR(st.st_mode) || create || truncate
                             ? 0
                             : (access & (GENERIC_READ | GENERIC_WRITE | DELETE)) == 0 && !deleteAccess;
    int fd;
    if (directory || attributesOnly) {
        fd = disposition == OPEN_EXISTING ? open(host, O_RDONLY | (directory ? O_DIRECTORY : 0) | O_CLOEXEC) : -1;
        if (fd < 0)
            SetLastError(ERROR_ACCESS_DENIED);
    } else {
        fd = OpenHostFile(host, write, create, truncate, shareMode == 0);
    }
    if (fd < 0) {
        HandleFree(handle);
        return INVALID_HANDLE_VALUE;
    }
    handle->fd = fd;
    handle->writable = write;
    handle->timesWritable = write || (access & FILE_WRITE_ATTRIBUTES) != 0;
    handle->shareMode = shareMode;
    handle->deleteAccess = deleteAccess;
    handle->deleteOnClose = (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    handle->directory = directory;
    snprintf(handle->path, sizeof handle->path, "%s", path);
    SetLastError(ERROR_SUCCESS);
    return (HANDLE)HandleValue(handle);
}

// The NTSTATUS for a file call's last error.
LONG StatusFromError(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ERROR_PATH_NOT_FOUND: return STATUS_OBJECT_PATH_NOT_FOUND;
    case ERROR_FILE_EXISTS: return STATUS_OBJECT_NAME_COLLISION;
    case ERROR_SHARING_VIOLATION: return STATUS_SHARING_VIOLATION;
    case ERROR_DISK_FULL: return STATUS_DISK_FULL;
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NOT_ENOUGH_MEMORY: return STATUS_INSUFFICIENT_RESOURCES;
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE: return STATUS_OBJECT_NAME_INVALID;
    default: return STATUS_ACCESS_DENIED;
    }
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                   HANDLE)
{
    const StandinCall *failed = StandinEnter(CallCreateFileA);
    if (failed != NULL)
        return (HANDLE)failed->failure;
    return OpenWindowsFile(path, access, shareMode, disposition, flags);
}

LONG NtCreateFile(PHANDLE file, ACCESS_MASK access, OBJECT_ATTRIBUTES *attributes, PIO_STATUS_BLOCK status,
                  PLARGE_INTEGER, ULONG, ULONG shareAccess, ULONG disposition, ULONG options, void *, ULONG)
{
    const StandinCall *failed = StandinEnter(CallNtCreateFile);
    if (failed != NULL)
        return (LONG)failed->failure;
    if (status != NULL)
        status->Information = 0;
    // The one form the updater uses: a plain name within a folder given by its handle, at identification level.
    if (file == NULL || attributes == NULL || attributes->ObjectName == NULL ||
        attributes->SecurityQualityOfService == NULL)
        return STATUS_INVALID_PARAMETER;
    StandinHandle *root = HandleFromValue((uintptr_t)attributes->RootDirectory, HANDLE_FILE);
    const UNICODE_STRING *objectName = attributes->ObjectName;
    size_t characters = objectName->Length / sizeof(WCHAR);
    if (root == NULL || !root->directory)
        return STATUS_INVALID_HANDLE;
    if (characters == 0 || characters >= MAX_PATH || objectName->Buffer == NULL)
        return STATUS_OBJECT_NAME_INVALID;
    char name[MAX_PATH];
    for (size_t i = 0; i < characters; ++i) {
        WCHAR c = objectName->Buffer[i];
        if (c == 0 || c > 0x7F || c == '\\' || c == '/')
            return STATUS_OBJECT_NAME_INVALID;
        name[i] = (char)c;
    }
    name[characters] = '\0';
    // Nothing below the pipe root is a file.
    if (root->pipe)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    char path[HostPathCapacity];
    if (!JoinInFolder(root->path, name, path, sizeof path))
        return STATUS_OBJECT_NAME_INVALID;
    DWORD createDisposition;
    switch (disposition) {
    case FILE_OPEN: createDisposition = OPEN_EXISTING; break;
    case FILE_CREATE: createDisposition = CREATE_NEW; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    char host[HostPathCapacity];
    struct stat st;
    if ((options & FILE_NON_DIRECTORY_FILE) != 0 && HandleHostPath(root, host, sizeof host) &&
        HostPath(path, host, sizeof host) && stat(host, &st) == 0 && S_ISDIR(st.st_mode))
        return STATUS_FILE_IS_A_DIRECTORY;
    DWORD flags = (options & FILE_DELETE_ON_CLOSE) != 0 ? FILE_FLAG_DELETE_ON_CLOSE : 0;
    if ((options & FILE_OPEN_REPARSE_POINT) != 0)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    // WINSTUB_DELETE_PENDING: files (host paths, one a line) deleted while another process still holds them:
    // their names stay, and every open or create of them fails, until that process lets go (the runner then
    // removes them).
    int entry = HostPath(path, host, sizeof host) && lstat(host, &st) == 0;
    if (entry && ListedInVariable("WINSTUB_DELETE_PENDING", host))
        return STATUS_DELETE_PENDING;
    // An open for data breaks another process's oplock, and waits for the acknowledgment unless told not to.
    int oplocked = entry && (access & (GENERIC_READ | GENERIC_WRITE | DELETE)) != 0 && OplockedByAnother(host);
    if (oplocked && (options & FILE_COMPLETE_IF_OPLOCKED) == 0)
        WaitForBreakAcknowledgment();
    HANDLE opened = OpenWindowsFile(path, access, shareAccess, createDisposition, flags);
    if (opened == INVALID_HANDLE_VALUE)
        return StatusFromError(GetLastError());
    *file = opened;
    return oplocked ? STATUS_OPLOCK_BREAK_IN_PROGRESS : 0;
}

DWORD GetFileType(HANDLE file)
{
    const StandinCall *failed = StandinEnter(CallGetFileType);
    if (failed != NULL)
        return (DWORD)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    if (handle == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    SetLastError(ERROR_SUCCESS);
    return handle->pipe ? FILE_TYPE_PIPE : FILE_TYPE_DISK;
}

HANDLE GetCurrentProcess(void)
{
    return (HANDLE)(intptr_t)-1;
}

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, PHANDLE target, DWORD, BOOL,
                     DWORD options)
{
    const StandinCall *failed = StandinEnter(CallDuplicateHandle);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *original = HandleFromValue((uintptr_t)source, HANDLE_FILE);
    if (original == NULL || sourceProcess != GetCurrentProcess() || targetProcess != GetCurrentProcess() ||
        target == NULL || options != DUPLICATE_SAME_ACCESS) {
        SetLastError(original == NULL ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    StandinHandle *copy = HandleNew(HANDLE_FILE);
    if (copy == NULL) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return FALSE;
    }
    int fd = fcntl(original->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        HandleFree(copy);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return FALSE;
    }
    // The same open file: its position, its lock, its sharing and its deletion are the original's.
    *copy = *original;
    copy->fd = fd;
    *target = (HANDLE)HandleValue(copy);
    return TRUE;
}

BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS informationClass, LPVOID information,
                                  DWORD size)
{
    const StandinCall *failed = StandinEnter(CallGetFileInformationByHandleEx);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    struct stat st;
    if (handle == NULL || fstat(handle->fd, &st) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (informationClass != FileIdInfo || information == NULL || size < sizeof(FILE_ID_INFO)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    FILE_ID_INFO id;
    memset(&id, 0, sizeof id);
    id.VolumeSerialNumber = (ULONGLONG)st.st_dev;
    uint64_t inode = (uint64_t)st.st_ino;
    for (size_t i = 0; i < sizeof inode; ++i)
        id.FileId.Identifier[i] = (BYTE)(inode >> (8 * i));
    memcpy(information, &id, sizeof id);
    return TRUE;
}

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite)
{
    const StandinCall *failed = StandinEnter(CallGetFileTime);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    struct stat st;
    if (handle == NULL || fstat(handle->fd, &st) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (creation != NULL)
        *creation = FileTimeFromTimespec(st.st_ctim);
    if (lastAccess != NULL)
        *lastAccess = FileTimeFromTimespec(st.st_atim);
    if (lastWrite != NULL)
        *lastWrite = FileTimeFromTimespec(st.st_mtim);
    return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME *, const FILETIME *lastAccess, const FILETIME *lastWrite)
{
    const StandinCall *failed = StandinEnter(CallSetFileTime);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    if (handle == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!handle->timesWritable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // The creation time has no counterpart here; a time left NULL stays as it is.
    struct timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_nsec = UTIME_OMIT;
    if (lastAccess != NULL)
        times[0] = TimespecFromFileTime(*lastAccess);
    if (lastWrite != NULL)
        times[1] = TimespecFromFileTime(*lastWrite);
    if (futimens(handle->fd, times) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh)
{
    const StandinCall *failed = StandinEnter(CallGetFileSize);
    if (failed != NULL)
        return (DWORD)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    struct stat st;
    if (handle == NULL || fstat(handle->fd, &st) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = (uint64_t)st.st_size;
    if (sizeHigh != NULL)
        *sizeHigh = (DWORD)(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return (DWORD)(size & 0xFFFFFFFFu);
}

void CloseFileSlot(StandinHandle *handle)
{
    // Deletion waits for the last handle on the open file, its duplicates too. The entry is deleted only
    // while it is still the file this handle has open: a name that another process has since pointed
    // elsewhere is left alone, as Windows and Wine leave it.
    int last = 1;
    for (StandinHandle *h = HandleNextOfKind(NULL, HANDLE_FILE); h != NULL; h = HandleNextOfKind(h, HANDLE_FILE))
        last = last && (h == handle || h->object != handle->object);
    char host[HostPathCapacity];
    if (last && handle->deleteOnClose && handle->fd >= 0 && HandleHostPath(handle, host, sizeof host) &&
        EntryIsOpenFile(host, handle->fd))
        unlink(host);
    if (handle->fd >= 0)
        close(handle->fd);
    HandleFree(handle);
}

void CloseFilesAtExit()
{
    for (StandinHandle *h = HandleNextOfKind(NULL, HANDLE_FILE); h != NULL; h = HandleNextOfKind(h, HANDLE_FILE))
        CloseFileSlot(h);
}

BOOL CloseHandle(HANDLE object)
{
    const StandinCall *failed = StandinEnter(CallCloseHandle);
    StandinHandle *handle = HandleFromValue((uintptr_t)object, HANDLE_FILE);
    if (handle != NULL) {
        CloseFileSlot(handle);
    } else {
        handle = HandleFromValue((uintptr_t)object, HANDLE_MUTEX);
        if (handle == NULL)
            handle = HandleFromValue((uintptr_t)object, HANDLE_TOKEN);
        if (handle == NULL) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // A mutex closed while owned is abandoned: its mark stays for the next owner to find.
        if (handle->fd >= 0)
            close(handle->fd);
        HandleFree(handle);
    }
    // A failed close still ends the handle's life: the caller can do nothing about it.
    if (failed != NULL)
        return (BOOL)failed->failure;
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED)
{
    const StandinCall *failed = StandinEnter(CallReadFile);
    if (read != NULL)
        *read = 0;
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    if (handle == NULL || read == NULL) {
        SetLastError(handle == NULL ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ssize_t got;
    do
        got = ::read(handle->fd, buffer, toRead);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    *read = (DWORD)got;
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR path)
{
    const StandinCall *failed = StandinEnter(CallGetFileAttributesA);
    if (failed != NULL)
        return (DWORD)failed->failure;
    char host[HostPathCapacity];
    if (!HostPath(path, host, sizeof host))
        return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (stat(host, &st) != 0) {
        SetLastError(MissingError(host));
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(st);
}

DWORD GetFileAttributesW(LPCWSTR path)
{
    const StandinCall *failed = StandinEnter(CallGetFileAttributesW);
    if (failed != NULL)
        return (DWORD)failed->failure;
    size_t length = 0;
    while (path != NULL && path[length] != 0)
        ++length;
    std::string utf8, cp932;
    char host[HostPathCapacity];
    if (path == NULL || !WideToUtf8(path, length, &utf8) || !Utf8ToCp932(utf8.data(), utf8.size(), &cp932)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (!HostPath(cp932.c_str(), host, sizeof host))
        return INVALID_FILE_ATTRIBUTES;
    // The entry itself: a link is not followed.
    struct stat st;
    if (lstat(host, &st) != 0) {
        SetLastError(MissingError(host));
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISLNK(st.st_mode) ? FILE_ATTRIBUTE_REPARSE_POINT : AttributesOf(st);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED)
{
    const StandinCall *failed = StandinEnter(CallWriteFile);
    if (written != NULL)
        *written = 0;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    if (handle == NULL || !handle->writable || written == NULL) {
        SetLastError(handle == NULL    ? ERROR_INVALID_HANDLE
                     : written == NULL ? ERROR_INVALID_PARAMETER
                                       : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // A full disk: half the bytes go out, then the write stops short with the row's error.
    DWORD wanted = failed != NULL ? toWrite / 2 : toWrite;
    const char *bytes = (const char *)buffer;
    while (*written < wanted) {
        ssize_t n = write(handle->fd, bytes + *written, wanted - *written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            SetLastError(n < 0 ? ErrorFromErrno(errno) : ERROR_DISK_FULL);
            return FALSE;
        }
        *written += (DWORD)n;
    }
    if (failed != NULL) {
        SetLastError(failed->lastError);
        return (BOOL)failed->failure;
    }
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG *distanceHigh, DWORD method)
{
    const StandinCall *failed = StandinEnter(CallSetFilePointer);
    if (failed != NULL)
        return (DWORD)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    if (handle == NULL || method != FILE_BEGIN || distance < 0 || (distanceHigh != NULL && *distanceHigh != 0)) {
        SetLastError(handle == NULL ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    off_t at = lseek(handle->fd, distance, SEEK_SET);
    if (at < 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    return (DWORD)at;
}

BOOL FlushFileBuffers(HANDLE file)
{
    const StandinCall *failed = StandinEnter(CallFlushFileBuffers);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    if (handle == NULL || !handle->writable) {
        SetLastError(handle == NULL ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (fsync(handle->fd) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information)
{
    const StandinCall *failed = StandinEnter(CallGetFileInformationByHandle);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    struct stat st;
    if (handle == NULL || fstat(handle->fd, &st) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    memset(information, 0, sizeof *information);
    information->dwFileAttributes = handle->pipe ? FILE_ATTRIBUTE_DIRECTORY : AttributesOf(st);
    information->ftCreationTime = FileTimeFromTimespec(st.st_ctim);
    information->ftLastAccessTime = FileTimeFromTimespec(st.st_atim);
    information->ftLastWriteTime = FileTimeFromTimespec(st.st_mtim);
    information->dwVolumeSerialNumber = (DWORD)st.st_dev;
    information->nFileSizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
    information->nFileSizeLow = (DWORD)((uint64_t)st.st_size & 0xFFFFFFFFu);
    information->nNumberOfLinks = (DWORD)st.st_nlink;
    information->nFileIndexHigh = (DWORD)((uint64_t)st.st_ino >> 32);
    information->nFileIndexLow = (DWORD)((uint64_t)st.st_ino & 0xFFFFFFFFu);
    return TRUE;
}

DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD capacity, DWORD flags)
{
    const StandinCall *failed = StandinEnter(CallGetFinalPathNameByHandleW);
    if (failed != NULL)
        return (DWORD)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    char full[HostPathCapacity], host[HostPathCapacity];
    std::string named;
    if (handle == NULL || !FullWindowsPath(handle->path, full, sizeof full) ||
        !HandleHostPath(handle, host, sizeof host) || !Cp932ToUtf8(full, strlen(full), &named)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    // WINSTUB_NO_FINAL_PATHS: no handle can be named at all, as on a share whose server lacks the call or
    // on a file system that keeps no normalized names.
    if (EnvironmentSet("WINSTUB_NO_FINAL_PATHS")) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    // WINSTUB_NO_DRIVE_LETTERS: the files are on a volume without a drive letter (mounted in a folder, a RAM
    // disk): the form with one cannot be had, the system's device form can.
    int deviceForm = (flags & VOLUME_NAME_NT) != 0;
    if (!deviceForm && EnvironmentSet("WINSTUB_NO_DRIVE_LETTERS")) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    // The system names the file itself: a file reached through a link is named where it really is, as
    // Wine names a host file outside its drives, on drive Z:.
    named = "\\\\?\\" + named;
    std::string expected, folder, name;
    if (handle->directory) {
        char *resolved = realpath(host, NULL);
        expected = resolved != NULL ? resolved : "";
        free(resolved);
    } else if (ResolvedFolderAndName(host, &folder, &name)) {
        expected = folder == "/" ? "/" + name : folder + "/" + name;
    }
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", handle->fd);
    char *real = realpath(proc, NULL);
    if (real != NULL && expected != real) {
        named = std::string("\\\\?\\Z:") + real;
        for (char &c : named)
            c = c == '/' ? '\\' : c;
    }
    free(real);
    // A folder is named without its closing separator, but for a drive's root.
    if (named.size() > 7 && named[named.size() - 1] == '\\' && named[named.size() - 2] != ':')
        named.erase(named.size() - 1);
    // "\\?\C:\..." as the device holding the drive names it: "\Device\HarddiskVolumeN\...".
    if (deviceForm && named.size() >= 6 && named[5] == ':') {
        char device[64];
        snprintf(device, sizeof device, "\\Device\\HarddiskVolume%d", (named[4] & 0x1F));
        named = device + named.substr(6);
    }
    std::vector<WCHAR> wide;
    if (!Utf8ToWide(named.data(), named.size(), &wide)) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    if (wide.size() >= capacity)
        return (DWORD)wide.size() + 1;
    memcpy(path, wide.data(), wide.size() * sizeof(WCHAR));
    path[wide.size()] = 0;
    return (DWORD)wide.size();
}

LONG NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK status, void *information, ULONG length,
                                  int informationClass)
{
    const StandinCall *failed = StandinEnter(CallNtQueryVolumeInformationFile);
    if (failed != NULL)
        return (LONG)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    if (handle == NULL)
        return STATUS_INVALID_HANDLE;
    if (informationClass != FileFsDeviceInformation)
        return STATUS_INVALID_INFO_CLASS;
    if (information == NULL || length < sizeof(FILE_FS_DEVICE_INFORMATION))
        return STATUS_INFO_LENGTH_MISMATCH;
    FILE_FS_DEVICE_INFORMATION device = {FILE_DEVICE_DISK, 0};
    if (handle->pipe) {
        device.DeviceType = FILE_DEVICE_NAMED_PIPE;
    } else if (OnRemoteDrive(handle->path)) {
        device.DeviceType = FILE_DEVICE_NETWORK_FILE_SYSTEM;
        device.Characteristics = FILE_REMOTE_DEVICE;
    }
    memcpy(information, &device, sizeof device);
    if (status != NULL) {
        status->Status = 0;
        status->Information = sizeof device;
    }
    return 0;
}

LONG NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK status, void *information, ULONG length, int informationClass)
{
    const StandinCall *failed = StandinEnter(CallNtSetInformationFile);
    if (failed != NULL)
        return (LONG)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    if (handle == NULL)
        return STATUS_INVALID_HANDLE;
    if (status != NULL)
        status->Information = 0;
    if (!handle->deleteAccess)
        return STATUS_ACCESS_DENIED;
    char from[HostPathCapacity];
    if (!HandleHostPath(handle, from, sizeof from))
        return STATUS_OBJECT_NAME_INVALID;
    // Both classes delete when the file's last handle closes: the stand-in has no other process's handle that
    // would keep a name pending (WINSTUB_DELETE_PENDING stands for one), so POSIX semantics change nothing.
    int deleting = -1;
    if (informationClass == FileDispositionInformation && length >= sizeof(FILE_DISPOSITION_INFORMATION)) {
        deleting = ((const FILE_DISPOSITION_INFORMATION *)information)->DeleteFile != 0;
    } else if (informationClass == FileDispositionInformationEx && length >= sizeof(FILE_DISPOSITION_INFORMATION_EX)) {
        ULONG dispositionFlags = ((const FILE_DISPOSITION_INFORMATION_EX *)information)->Flags;
        if ((dispositionFlags & ~(ULONG)(FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS)) != 0)
            return STATUS_INVALID_PARAMETER;
        deleting = (dispositionFlags & FILE_DISPOSITION_DELETE) != 0;
    }
    if (deleting >= 0) {
        struct stat st;
        // A read-only file cannot be deleted, even by an administrator.
        if (deleting && fstat(handle->fd, &st) == 0 && (st.st_mode & S_IWUSR) == 0)
            return STATUS_CANNOT_DELETE;
        // The disposition is the open file's, whichever of its handles set it.
        for (StandinHandle *h = HandleNextOfKind(NULL, HANDLE_FILE); h != NULL; h = HandleNextOfKind(h, HANDLE_FILE))
            if (h->object == handle->object)
                h->deleteOnClose = deleting;
        return 0;
    }
    if (informationClass != FileRenameInformation || length < sizeof(FILE_RENAME_INFORMATION))
        return STATUS_INVALID_PARAMETER;
    const FILE_RENAME_INFORMATION *rename = (const FILE_RENAME_INFORMATION *)information;
    // The one form the updater uses: a plain name within a folder given by its handle.
    StandinHandle *root = HandleFromValue((uintptr_t)rename->RootDirectory, HANDLE_FILE);
    size_t characters = rename->FileNameLength / sizeof(WCHAR);
    if (root == NULL || !root->directory || characters == 0 || characters >= MAX_PATH ||
        offsetof(FILE_RENAME_INFORMATION, FileName) + rename->FileNameLength > length)
        return STATUS_INVALID_PARAMETER;
    char name[MAX_PATH];
    const unsigned char *wide = (const unsigned char *)information + offsetof(FILE_RENAME_INFORMATION, FileName);
    for (size_t i = 0; i < characters; ++i) {
        WCHAR c;
        memcpy(&c, wide + i * sizeof c, sizeof c);
        if (c == 0 || c > 0x7F || c == '\\' || c == '/')
            return STATUS_OBJECT_NAME_INVALID;
        name[i] = (char)c;
    }
    name[characters] = '\0';
    char newPath[HostPathCapacity];
    char to[HostPathCapacity];
    char stored[HostPathCapacity];
    if (!JoinInFolder(root->path, name, newPath, sizeof newPath))
        return STATUS_OBJECT_NAME_INVALID;
    if (VirtualizedPath(newPath, 1, 0, stored, sizeof stored))
        snprintf(newPath, sizeof newPath, "%s", stored);
    if (!HostPath(newPath, to, sizeof to))
        return STATUS_OBJECT_NAME_INVALID;
    // By name, as Wine does: whatever now stands at the handle's name is what moves.
    if (DeleteBlockedBySharingOtherThan(from, handle))
        return STATUS_SHARING_VIOLATION;
    if (!HostDirectoryWritable(from) || !HostDirectoryWritable(to))
        return STATUS_ACCESS_DENIED;
    struct stat st;
    if (lstat(to, &st) == 0) {
        if (!rename->ReplaceIfExists)
            return STATUS_OBJECT_NAME_COLLISION;
        // Replacing a file breaks the handle oplocks on it, and nothing lets the rename go on unacknowledged.
        if (OplockedByAnother(to))
            WaitForBreakAcknowledgment();
        if (S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR) == 0 || OpenAnywhere(to))
            return STATUS_ACCESS_DENIED;
    }
    if (::rename(from, to) != 0)
        return STATUS_ACCESS_DENIED;
    for (StandinHandle *h = HandleNextOfKind(NULL, HANDLE_FILE); h != NULL; h = HandleNextOfKind(h, HANDLE_FILE))
        if (h->object == handle->object)
            snprintf(h->path, sizeof h->path, "%s", newPath);
    return 0;
}

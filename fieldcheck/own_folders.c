/* The field check's folders, reached and removed through handles: the check runs elevated, while its folders
 * lie in places the user's processes may write (the user's TEMP, the user's VirtualStore). A name found there
 * is never looked up again by a path: each is opened relative to the handle of the folder it was found in,
 * without following a link, and deleted through its own handle, so a folder swapped for a junction between a
 * look and a delete sends nothing anywhere else. */
#include "own_folders.h"

#include <winternl.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

/* ntdll's listing of a folder through its handle, which winternl.h leaves out. */
NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                    PIO_STATUS_BLOCK status, PVOID information, ULONG length,
                                    FILE_INFORMATION_CLASS information_class, BOOLEAN single, PUNICODE_STRING mask,
                                    BOOLEAN restart);

#define STATUS_NO_MORE_FILES ((NTSTATUS)0x80000006)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003A)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056)
/* What a way through a link is refused with here. */
#define STATUS_REPARSE_POINT_ENCOUNTERED ((NTSTATUS)0xC000050B)

/* The disposition class with POSIX semantics (Windows 10 1607 on; ignoring the read-only mark from 1809 on). */
static const FILE_INFORMATION_CLASS DispositionEx = (FILE_INFORMATION_CLASS)64;

#define WALK_ACCESS (FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE)
#define REMOVE_ACCESS (DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE)
/* Deeper than this, a tree someone else grew in a folder of ours stays (and is reported). */
#define MAX_DEPTH 32
/* How long a listing waits for names whose deletion is pending, and how often it looks again. */
#define PENDING_WAIT_MS 5000
#define PENDING_POLL_MS 100

int TrustOnlyAdministratorsJunctions(void)
{
    typedef BOOL(WINAPI * SetPolicy)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    typedef BOOL(WINAPI * GetPolicy)(HANDLE, PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    /* Looked up, not imported: older systems lack both, and the check runs there too. */
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    SetPolicy set = (SetPolicy)(void *)GetProcAddress(kernel32, "SetProcessMitigationPolicy");
    GetPolicy get = (GetPolicy)(void *)GetProcAddress(kernel32, "GetProcessMitigationPolicy");
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy = {0};
    policy.EnforceRedirectionTrust = 1;
    if (!set || !get || !set(ProcessRedirectionTrustPolicy, &policy, sizeof policy))
        return 0;
    /* Only what the system reads back counts: a system that accepts the call without the policy says nothing. */
    memset(&policy, 0, sizeof policy);
    return get(GetCurrentProcess(), ProcessRedirectionTrustPolicy, &policy, sizeof policy) &&
           policy.EnforceRedirectionTrust;
}

/* Opens or creates (disposition) one name relative to folder, or the NT path name when folder is NULL,
 * never following a link, and never left waiting on another process's oplock. The status; *h on success. */
static NTSTATUS OpenName(HANDLE folder, const wchar_t *name, size_t length, ACCESS_MASK access, ULONG disposition,
                         ULONG options, HANDLE *h)
{
    UNICODE_STRING u = {(USHORT)(length * sizeof(wchar_t)), (USHORT)(length * sizeof(wchar_t)), (PWSTR)name};
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    InitializeObjectAttributes(&attributes, &u, OBJ_CASE_INSENSITIVE, folder, NULL);
    *h = NULL;
    if (length == 0 || length > 255)
        return STATUS_OBJECT_NAME_INVALID;
    return NtCreateFile(h, access, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                        options | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT |
                            FILE_COMPLETE_IF_OPLOCKED,
                        NULL, 0);
}

/* The attributes of what h is open on; 0 when they cannot be read. */
static ULONG Attributes(HANDLE h)
{
    FILE_BASIC_INFORMATION basic;
    IO_STATUS_BLOCK io;
    return NT_SUCCESS(NtQueryInformationFile(h, &io, &basic, sizeof basic, FileBasicInformation)) ? basic.FileAttributes
                                                                                                  : 0;
}

static int IsLink(HANDLE h)
{
    return (Attributes(h) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

/* Opens the folder path names (X:\a\b, or \\?\X:\a\b): the drive's root, then each name relative to the
 * folder before it, each of them a plain folder, not a link. The status; *h on success. */
static NTSTATUS OpenFolder(const wchar_t *path, ACCESS_MASK access, HANDLE *h)
{
    if (!wcsncmp(path, L"\\\\?\\", 4))
        path += 4;
    *h = NULL;
    if (!path[0] || path[1] != L':' || path[2] != L'\\')
        return STATUS_OBJECT_NAME_INVALID;
    wchar_t root[] = L"\\??\\X:\\";
    root[4] = path[0];
    const wchar_t *name = path + 3 + wcsspn(path + 3, L"\\");
    HANDLE folder;
    NTSTATUS status = OpenName(NULL, root, wcslen(root), *name ? WALK_ACCESS : WALK_ACCESS | access, FILE_OPEN,
                               FILE_DIRECTORY_FILE, &folder);
    while (NT_SUCCESS(status) && *name) {
        size_t length = wcscspn(name, L"\\");
        const wchar_t *rest = name + length + wcsspn(name + length, L"\\");
        HANDLE next;
        status = OpenName(folder, name, length, *rest ? WALK_ACCESS : WALK_ACCESS | access, FILE_OPEN,
                          FILE_DIRECTORY_FILE, &next);
        CloseHandle(folder);
        folder = NULL;
        if (NT_SUCCESS(status) && IsLink(next)) {
            CloseHandle(next);
            status = STATUS_REPARSE_POINT_ENCOUNTERED;
        } else if (NT_SUCCESS(status)) {
            folder = next;
        }
        name = rest;
    }
    if (NT_SUCCESS(status))
        *h = folder;
    return status;
}

/* Calls visit for each entry of the folder open on h but . and ..; 1 when the whole listing was read. */
typedef void (*Visit)(HANDLE folder, const wchar_t *name, size_t length, void *context);
static int ForEachEntry(HANDLE folder, Visit visit, void *context)
{
    enum { ListingSize = 16384 };
    /* On the heap: a removal goes a few folders deep, each with a listing of its own. */
    unsigned char *listing = malloc(ListingSize);
    int complete = listing != NULL;
    for (BOOLEAN restart = TRUE; listing; restart = FALSE) {
        IO_STATUS_BLOCK io;
        NTSTATUS status = NtQueryDirectoryFile(folder, NULL, NULL, NULL, &io, listing, ListingSize,
                                               FileDirectoryInformation, FALSE, NULL, restart);
        if (status == STATUS_NO_MORE_FILES)
            break;
        if (!NT_SUCCESS(status)) {
            complete = 0;
            break;
        }
        for (const unsigned char *at = listing;;) {
            const FILE_DIRECTORY_INFORMATION *entry = (const FILE_DIRECTORY_INFORMATION *)at;
            size_t length = entry->FileNameLength / sizeof(wchar_t);
            int dots = (length == 1 && entry->FileName[0] == L'.') ||
                       (length == 2 && entry->FileName[0] == L'.' && entry->FileName[1] == L'.');
            if (!dots)
                visit(folder, entry->FileName, length, context);
            if (!entry->NextEntryOffset)
                break;
            at += entry->NextEntryOffset;
        }
    }
    free(listing);
    return complete;
}

/* Deletes what h is open on, through h: with POSIX semantics where the system has them (the name goes when
 * h is closed, whoever else holds the file), else as before, which refuses a read-only file. The read-only
 * mark belongs to the file, not to the name, and another name of the file (a hard link someone put here)
 * keeps it: it is taken off only to mark the deletion and put back at once. 1 when marked. */
static int DeleteThrough(HANDLE h)
{
    IO_STATUS_BLOCK io;
    FILE_DISPOSITION_INFO_EX posix = {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                      FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
    if (NT_SUCCESS(NtSetInformationFile(h, &io, &posix, sizeof posix, DispositionEx)))
        return 1;
    FILE_BASIC_INFORMATION basic, writable = {0};
    int read_only =
        NT_SUCCESS(NtQueryInformationFile(h, &io, &basic, sizeof basic, FileBasicInformation)) &&
        (basic.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_READONLY;
    if (read_only) {
        writable.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
        if (!writable.FileAttributes)
            writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        NtSetInformationFile(h, &io, &writable, sizeof writable, FileBasicInformation);
    }
    FILE_DISPOSITION_INFORMATION old = {TRUE};
    int marked = NT_SUCCESS(NtSetInformationFile(h, &io, &old, sizeof old, FileDispositionInformation));
    if (read_only) {
        writable.FileAttributes = basic.FileAttributes;
        NtSetInformationFile(h, &io, &writable, sizeof writable, FileBasicInformation);
    }
    return marked;
}

/* Opens one entry to be removed, relative to folder. Attribute-writing access is asked for, to take a
 * read-only mark off; where a system refuses that access to a read-only file (Wine does), the entry is
 * opened without it. The status; *h on success. */
static NTSTATUS OpenForRemoval(HANDLE folder, const wchar_t *name, size_t length, HANDLE *h)
{
    NTSTATUS status = OpenName(folder, name, length, REMOVE_ACCESS, FILE_OPEN, 0, h);
    if (status == STATUS_ACCESS_DENIED)
        status = OpenName(folder, name, length, REMOVE_ACCESS & ~FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0, h);
    return status;
}

struct Removal {
    int depth;
    int kept;
};

static int RemoveOpened(HANDLE h, int depth);

static void RemoveEntry(HANDLE folder, const wchar_t *name, size_t length, void *context)
{
    struct Removal *r = context;
    HANDLE entry;
    NTSTATUS status = OpenForRemoval(folder, name, length, &entry);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return; /* gone since the listing */
    if (!NT_SUCCESS(status) || !RemoveOpened(entry, r->depth + 1))
        r->kept = 1;
    if (entry)
        CloseHandle(entry);
}

/* Removes what h is open on: a plain folder with what is in it, anything else (a file, a link, a junction)
 * as itself. 1 when it is marked for deletion, 0 when something stays. */
static int RemoveOpened(HANDLE h, int depth)
{
    ULONG attributes = Attributes(h);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        struct Removal r = {depth, 0};
        if (depth >= MAX_DEPTH || !ForEachEntry(h, RemoveEntry, &r) || r.kept)
            return 0;
    }
    return DeleteThrough(h);
}

int RemoveTree(const wchar_t *path)
{
    if (!wcsncmp(path, L"\\\\?\\", 4))
        path += 4;
    /* The folder it is in, reached as any folder is; then the entry itself, whatever it is, relative to it. */
    const wchar_t *name = wcsrchr(path, L'\\');
    wchar_t parent[MAX_PATH];
    if (!name || name - path >= MAX_PATH || !name[1])
        return 0;
    memcpy(parent, path, (name - path) * sizeof(wchar_t));
    parent[name - path] = 0;
    if (name - path == 2)
        wcscat(parent, L"\\"); /* X:\name: the drive's root */
    HANDLE folder, entry;
    NTSTATUS status = OpenFolder(parent, FILE_LIST_DIRECTORY, &folder);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND)
        return 1;
    if (!NT_SUCCESS(status))
        return 0;
    status = OpenForRemoval(folder, name + 1, wcslen(name + 1), &entry);
    CloseHandle(folder);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return 1;
    if (!NT_SUCCESS(status))
        return 0;
    int removed = RemoveOpened(entry, 0);
    CloseHandle(entry);
    return removed;
}

struct Count {
    int entries;
    int pending;
};

static void CountEntry(HANDLE folder, const wchar_t *name, size_t length, void *context)
{
    struct Count *c = context;
    HANDLE entry;
    NTSTATUS status = OpenName(folder, name, length, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, 0, &entry);
    if (entry)
        CloseHandle(entry);
    if (status == STATUS_DELETE_PENDING)
        c->pending++;
    else if (status != STATUS_OBJECT_NAME_NOT_FOUND)
        c->entries++;
}

int Entries(const wchar_t *path)
{
    HANDLE folder;
    if (!NT_SUCCESS(OpenFolder(path, FILE_LIST_DIRECTORY, &folder)))
        return -1;
    struct Count c;
    DWORD began = GetTickCount();
    int complete;
    for (;;) {
        memset(&c, 0, sizeof c);
        complete = ForEachEntry(folder, CountEntry, &c);
        /* A scanner that still holds a file the run deleted keeps its name a moment longer. */
        if (!complete || !c.pending || GetTickCount() - began >= PENDING_WAIT_MS)
            break;
        Sleep(PENDING_POLL_MS);
    }
    CloseHandle(folder);
    return complete ? c.entries : -1;
}

/* The reparse data of a junction (a mount point): the header, then the target's two names. */
struct MountPoint {
    DWORD tag;
    WORD data_length, reserved;
    WORD substitute_offset, substitute_length, print_offset, print_length;
    wchar_t names[2 * MAX_PATH + 8];
};

int MakeJunctionIn(const wchar_t *parent, const wchar_t *name, const wchar_t *target, DWORD *error)
{
    struct MountPoint m = {IO_REPARSE_TAG_MOUNT_POINT};
    int sub = _snwprintf(m.names, MAX_PATH + 4, L"\\??\\%ls", target);
    if (sub < 0 || wcslen(target) >= MAX_PATH) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return 0;
    }
    wcscpy(m.names + sub + 1, target);
    m.substitute_length = (WORD)(sub * sizeof(wchar_t));
    m.print_offset = (WORD)((sub + 1) * sizeof(wchar_t));
    m.print_length = (WORD)(wcslen(target) * sizeof(wchar_t));
    m.data_length = (WORD)(8 + m.print_offset + m.print_length + sizeof(wchar_t));

    HANDLE folder, link = NULL;
    NTSTATUS status = OpenFolder(parent, FILE_ADD_SUBDIRECTORY, &folder);
    if (NT_SUCCESS(status)) {
        status = OpenName(folder, name, wcslen(name), GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, FILE_CREATE,
                          FILE_DIRECTORY_FILE, &link);
        CloseHandle(folder);
    }
    if (!NT_SUCCESS(status)) {
        *error = RtlNtStatusToDosError(status);
        return 0;
    }
    DWORD returned;
    int made = DeviceIoControl(link, FSCTL_SET_REPARSE_POINT, &m, 8 + m.data_length, NULL, 0, &returned, NULL);
    *error = made ? 0 : GetLastError();
    /* Only a folder that really is a junction now counts; the folder made for one that is not goes again. */
    made = made && IsLink(link);
    if (!made)
        DeleteThrough(link);
    CloseHandle(link);
    return made;
}

// Fixed file names reached only through a folder's handle that the run has opened and checked itself.
#include "install.h"

#include <cstring>

namespace {

// Room for a final path: "\\?\", a path of MAX_PATH, and some.
const DWORD FinalPathCapacity = MAX_PATH + 64;

// The forms in which a final path is asked for: with the drive letter, then (a volume without one, a RAM
// disk) the system's own device name.
const DWORD FinalPathForms[] = {0, VOLUME_NAME_NT};

// Compares code-page text with ASCII letters folded, double-byte characters whole; 1 when equal.
int SameTextIgnoringCase(const char *a, const char *b)
{
    for (;;) {
        unsigned char x = (unsigned char)*a, y = (unsigned char)*b;
        if (x >= 'a' && x <= 'z')
            x = (unsigned char)(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = (unsigned char)(y - 'a' + 'A');
        if (x != y)
            return 0;
        if (x == '\0')
            return 1;
        // A trail byte is compared as it is, never folded.
        if (IsDBCSLeadByteEx(CP_ACP, x) && a[1] != '\0' && b[1] != '\0') {
            if (a[1] != b[1])
                return 0;
            ++a;
            ++b;
        }
        ++a;
        ++b;
    }
}

}  // namespace

int OpenCheckedFolder(const char *path, HANDLE *folder)
{
    *folder = INVALID_HANDLE_VALUE;
    // Named with its closing separator, as every file in it is: the system drops trailing spaces and dots
    // from a last name only, so "C:\Karyom \" stays the folder whose files are "C:\Karyom \PERNA.EXE".
    char named[StagedPathCapacity];
    size_t length = strlen(path);
    if (length >= sizeof named)
        return 0;
    memcpy(named, path, length + 1);
    if (!EnsureTrailingSeparator(named, sizeof named))
        return 0;
    // The path may lead anywhere (a user's TMP names a pipe, a device, a link to one): what counts is what
    // the handle turns out to be. Identification level only, so that a pipe server it reaches cannot act
    // as this process.
    HANDLE opened = CreateFileA(named, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, NULL);
    if (opened == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(opened) != FILE_TYPE_DISK || !GetFileInformationByHandle(opened, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        CloseHandle(opened);
        return 0;
    }
    *folder = opened;
    return 1;
}

LONG OpenInFolder(HANDLE folder, const char *name, DWORD access, DWORD share, DWORD disposition, DWORD options,
                  HANDLE *file)
{
    *file = INVALID_HANDLE_VALUE;
    // The names are the payloads' fixed ASCII names: each byte is its UTF-16 character.
    WCHAR wide[LongestPayloadName];
    size_t length = strlen(name);
    if (length == 0 || length > LongestPayloadName)
        return STATUS_OBJECT_NAME_INVALID;
    for (size_t i = 0; i < length; ++i)
        wide[i] = (WCHAR)(unsigned char)name[i];
    UNICODE_STRING objectName;
    objectName.Length = (USHORT)(length * sizeof(WCHAR));
    objectName.MaximumLength = objectName.Length;
    objectName.Buffer = wide;
    SECURITY_QUALITY_OF_SERVICE quality;
    memset(&quality, 0, sizeof quality);
    quality.Length = sizeof quality;
    quality.ImpersonationLevel = SecurityIdentification;
    quality.ContextTrackingMode = SECURITY_STATIC_TRACKING;
    quality.EffectiveOnly = FALSE;
    OBJECT_ATTRIBUTES attributes;
    memset(&attributes, 0, sizeof attributes);
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = folder;
    attributes.ObjectName = &objectName;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    attributes.SecurityQualityOfService = &quality;
    IO_STATUS_BLOCK status;
    HANDLE opened = NULL;
    // A link at the name is opened as itself, never followed; synchronous, as the LZ library reads and
    // writes it.
    LONG result = NtCreateFile(&opened, access | SYNCHRONIZE, &attributes, &status, NULL, FILE_ATTRIBUTE_NORMAL, share,
                               disposition,
                               options | FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                               NULL, 0);
    if (result < 0)
        return result;
    *file = opened;
    return result;
}

int SameFile(HANDLE a, HANDLE b)
{
    // The 128-bit id where the system has it (Windows 8 on): ReFS ids do not fit the older 64-bit index.
    FILE_ID_INFO idA, idB;
    if (GetFileInformationByHandleEx(a, FileIdInfo, &idA, sizeof idA) &&
        GetFileInformationByHandleEx(b, FileIdInfo, &idB, sizeof idB))
        return idA.VolumeSerialNumber == idB.VolumeSerialNumber &&
               memcmp(&idA.FileId, &idB.FileId, sizeof idA.FileId) == 0;
    BY_HANDLE_FILE_INFORMATION infoA, infoB;
    return GetFileInformationByHandle(a, &infoA) && GetFileInformationByHandle(b, &infoB) &&
           infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber && infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
}

int NamesEntry(HANDLE file, HANDLE folder, const char *name)
{
    for (size_t form = 0; form < sizeof FinalPathForms / sizeof FinalPathForms[0]; ++form) {
        char found[FinalPathCapacity];
        DWORD length = GetFinalPathNameByHandleA(file, found, sizeof found, FinalPathForms[form]);
        // Before Vista nothing names a handle; there an open that does not follow links is the entry itself.
        if (length == 0 && GetLastError() == ERROR_CALL_NOT_IMPLEMENTED)
            return 1;
        char expected[FinalPathCapacity];
        DWORD folderLength = GetFinalPathNameByHandleA(folder, expected, sizeof expected, FinalPathForms[form]);
        if (length == 0 || length >= sizeof found || folderLength == 0 || folderLength >= sizeof expected)
            continue;
        return AppendFileName(expected, sizeof expected, name) && SameTextIgnoringCase(found, expected);
    }
    return 0;
}

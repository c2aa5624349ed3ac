// Fixed file names reached only through a folder's handle that the run has opened and checked itself.
#include "install.h"

#include <cstring>

namespace {

// Room for a final path in wide characters: "\\?\", a path of MAX_PATH, and some. A longer one is not had, and
// the file id decides instead.
const DWORD FinalPathCapacity = MAX_PATH + 64;

// The forms in which a final path is asked for: with the drive letter, then (a volume without one, a RAM
// disk) the system's own device name.
const DWORD FinalPathForms[] = {0, VOLUME_NAME_NT};

// The final path of the folder's handle with '\' and the ASCII name after it, in expected (capacity
// FinalPathCapacity); its length, or 0 when it cannot be had or does not fit.
DWORD FinalPathOfEntry(HANDLE folder, const char *name, DWORD form, WCHAR *expected)
{
    DWORD length = GetFinalPathNameByHandleW(folder, expected, FinalPathCapacity, form);
    size_t nameLength = strlen(name);
    if (length == 0 || length + 1 + nameLength >= FinalPathCapacity)
        return 0;
    // A drive's root is named with its closing separator, every other folder without.
    if (expected[length - 1] != '\\')
        expected[length++] = '\\';
    for (size_t i = 0; i < nameLength; ++i)
        expected[length++] = (WCHAR)(unsigned char)name[i];
    expected[length] = 0;
    return length;
}

// Whether the handle's volume is served by the machine itself, not by a network redirector; 1, or 0 when it
// is a remote one or cannot be told.
int OnLocalVolume(HANDLE handle)
{
    FILE_FS_DEVICE_INFORMATION device;
    IO_STATUS_BLOCK status;
    return NtQueryVolumeInformationFile(handle, &status, &device, sizeof device, FileFsDeviceInformation) >= 0 &&
           (device.Characteristics & FILE_REMOTE_DEVICE) == 0;
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
    // as this process. A folder that another process (a backup or sync tool) holds open without sharing is
    // waited out as a held file is.
    HeldFileWait wait;
    StartHeldFileWait(&wait);
    HANDLE opened;
    do
        opened = CreateFileA(named, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, NULL);
    while (opened == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION && WaitLonger(&wait));
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

int OpenStageFolder(const char *path, HANDLE *folder)
{
    // A server behind a network redirector could hand the library any stream of any length to expand.
    if (!OpenCheckedFolder(path, folder))
        return 0;
    if (OnLocalVolume(*folder))
        return 1;
    CloseHandle(*folder);
    *folder = INVALID_HANDLE_VALUE;
    return 0;
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
    // writes it. Any user who can read a file can put an oplock on it: the open never waits for that
    // oplock's break to be acknowledged, which its holder may never do.
    LONG result = NtCreateFile(&opened, access | SYNCHRONIZE, &attributes, &status, NULL, FILE_ATTRIBUTE_NORMAL, share,
                               disposition,
                               options | FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                                   FILE_OPEN_REPARSE_POINT | FILE_COMPLETE_IF_OPLOCKED,
                               NULL, 0);
    if (result < 0)
        return result;
    // The break has only begun: the holder still has the file open, and I/O through this handle could wait for
    // the acknowledgment after all. The handle is given up, and the open fails as the holder's hold.
    if (result == STATUS_OPLOCK_BREAK_IN_PROGRESS) {
        CloseHandle(opened);
        return STATUS_SHARING_VIOLATION;
    }
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

int IsFileAt(HANDLE file, HANDLE folder, const char *name)
{
    // Asking for attributes alone meets no sharing: a holder of the entry cannot hide what it is.
    HANDLE there;
    if (OpenInFolder(folder, name, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     FILE_OPEN, 0, &there) < 0)
        return 0;
    int same = SameFile(there, file);
    CloseHandle(there);
    return same;
}

int NamesEntry(HANDLE file, HANDLE folder, const char *name)
{
    for (size_t form = 0; form < sizeof FinalPathForms / sizeof FinalPathForms[0]; ++form) {
        WCHAR found[FinalPathCapacity], expected[FinalPathCapacity];
        DWORD length = GetFinalPathNameByHandleW(file, found, FinalPathCapacity, FinalPathForms[form]);
        DWORD expectedLength = FinalPathOfEntry(folder, name, FinalPathForms[form], expected);
        if (length == 0 || length >= FinalPathCapacity || expectedLength == 0)
            continue;
        // In wide characters, never through the code page (whose best fit would make "José" "Jose"), and with
        // case folded as the file system folds names. A comparison that cannot be made (before Vista) leaves
        // it to the file id.
        int compared = CompareStringOrdinal(found, (int)length, expected, (int)expectedLength, TRUE);
        if (compared != 0)
            return compared == CSTR_EQUAL;
        break;
    }
    // No name can be had (before Vista; on a share whose server lacks the call or keeps a component from this
    // user; a file system without normalized names; a path too long): the entry that bears the name in the
    // folder is opened anew, and must be this very file.
    return IsFileAt(file, folder, name);
}

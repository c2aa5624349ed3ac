// The calls bound at run time from modules every process already has: ntdll's NtSetInformationFile,
// NtCreateFile and NtQueryVolumeInformationFile, and kernel32's GetFinalPathNameByHandleW,
// GetFileInformationByHandleEx and CompareStringOrdinal where the system has them (Vista on).
#include "platform.h"

namespace {

typedef LONG(WINAPI *SetInformationFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
typedef LONG(WINAPI *QueryVolumeFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
typedef DWORD(WINAPI *FinalPathFn)(HANDLE, LPWSTR, DWORD, DWORD);
typedef LONG(WINAPI *CreateFn)(PHANDLE, ACCESS_MASK, OBJECT_ATTRIBUTES *, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                               ULONG, ULONG, ULONG, PVOID, ULONG);
typedef BOOL(WINAPI *InformationExFn)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
typedef int(WINAPI *CompareOrdinalFn)(LPCWSTR, int, LPCWSTR, int, BOOL);

// NTSTATUS values for a call that could not be bound.
const LONG StatusNotImplemented = (LONG)0xC0000002;

// The address of a function of a module already loaded in the process (never loaded from anywhere); NULL.
void *LoadedFunction(const char *module, const char *name)
{
    HMODULE loaded = GetModuleHandleA(module);
    return loaded != NULL ? (void *)GetProcAddress(loaded, name) : NULL;
}

// The bound functions, looked up once. Plain statics set on first use: a static with a run-time initializer
// would bring in the C++ runtime's guard, many times this file's size.
SetInformationFn setInformation;
QueryVolumeFn queryVolume;
FinalPathFn finalPath;
CreateFn create;
InformationExFn informationEx;
CompareOrdinalFn compareOrdinal;
int bound;

void Bind()
{
    if (bound)
        return;
    bound = 1;
    setInformation = (SetInformationFn)LoadedFunction("ntdll.dll", "NtSetInformationFile");
    queryVolume = (QueryVolumeFn)LoadedFunction("ntdll.dll", "NtQueryVolumeInformationFile");
    finalPath = (FinalPathFn)LoadedFunction("kernel32.dll", "GetFinalPathNameByHandleW");
    create = (CreateFn)LoadedFunction("ntdll.dll", "NtCreateFile");
    informationEx = (InformationExFn)LoadedFunction("kernel32.dll", "GetFileInformationByHandleEx");
    compareOrdinal = (CompareOrdinalFn)LoadedFunction("kernel32.dll", "CompareStringOrdinal");
}

}  // namespace

extern "C" LONG WINAPI NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK status, PVOID information, ULONG length,
                                            int informationClass)
{
    Bind();
    if (setInformation == NULL)
        return StatusNotImplemented;
    return setInformation(file, status, information, length, informationClass);
}

extern "C" LONG WINAPI NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK status, PVOID information,
                                                    ULONG length, int informationClass)
{
    Bind();
    if (queryVolume == NULL)
        return StatusNotImplemented;
    return queryVolume(file, status, information, length, informationClass);
}

extern "C" DWORD WINAPI GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD capacity, DWORD flags)
{
    Bind();
    if (finalPath == NULL) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    return finalPath(file, path, capacity, flags);
}

extern "C" LONG WINAPI NtCreateFile(PHANDLE file, ACCESS_MASK access, OBJECT_ATTRIBUTES *attributes,
                                    PIO_STATUS_BLOCK status, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                                    ULONG shareAccess, ULONG disposition, ULONG options, PVOID extended,
                                    ULONG extendedLength)
{
    Bind();
    if (create == NULL)
        return StatusNotImplemented;
    return create(file, access, attributes, status, allocationSize, fileAttributes, shareAccess, disposition, options,
                  extended, extendedLength);
}

extern "C" BOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS informationClass,
                                                    LPVOID information, DWORD size)
{
    Bind();
    if (informationEx == NULL) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    return informationEx(file, informationClass, information, size);
}

extern "C" int WINAPI CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase)
{
    Bind();
    if (compareOrdinal == NULL) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    return compareOrdinal(a, aLength, b, bLength, ignoreCase);
}

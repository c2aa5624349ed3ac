// The calls bound at run time from modules every process already has: ntdll's NtSetInformationFile and
// NtCreateFile, and kernel32's GetFinalPathNameByHandleA and GetFileInformationByHandleEx where the system
// has them (Vista on).
#include "platform.h"

namespace {

typedef LONG(WINAPI *SetInformationFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
typedef DWORD(WINAPI *FinalPathFn)(HANDLE, LPSTR, DWORD, DWORD);
typedef LONG(WINAPI *CreateFn)(PHANDLE, ACCESS_MASK, OBJECT_ATTRIBUTES *, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                               ULONG, ULONG, PVOID, ULONG);
typedef BOOL(WINAPI *InformationExFn)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

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
FinalPathFn finalPath;
CreateFn create;
InformationExFn informationEx;
int bound;

void Bind()
{
    if (bound)
        return;
    bound = 1;
    setInformation = (SetInformationFn)LoadedFunction("ntdll.dll", "NtSetInformationFile");
    finalPath = (FinalPathFn)LoadedFunction("kernel32.dll", "GetFinalPathNameByHandleA");
    create = (CreateFn)LoadedFunction("ntdll.dll", "NtCreateFile");
    informationEx = (InformationExFn)LoadedFunction("kernel32.dll", "GetFileInformationByHandleEx");
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

extern "C" DWORD WINAPI GetFinalPathNameByHandleA(HANDLE file, LPSTR path, DWORD capacity, DWORD flags)
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

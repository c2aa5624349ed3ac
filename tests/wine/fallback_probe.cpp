// Runs the platform's fallbacks for systems without the DLL search flags, which no system the tests have
// takes: the LZ binding loading lz32.dll by full path (a fake lz32.dll lies beside the probe, preferred
// with lz32=n,b), and the DLL search giving up only the current directory. Wine keeps searching the
// current directory after SetDllDirectoryA(""), unlike Windows, so for that one the call itself is what
// is checked. One line per check; exit status 1 if any failed.
#include "dll_search.h"
#include "platform.h"

#include <cstdio>
#include <cstring>

namespace {

int loadsWithFlags;
int failures;
// What SetDllDirectoryA was given: "(not called)", "(NULL)" or the string.
char dllDirectory[MAX_PATH] = "(not called)";

void Report(bool ok, const char *what)
{
    printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok)
        ++failures;
}

bool Exists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// "PernaUpdate\r\n" as an SZDD stream: the header (mode A, 13 bytes), then literals, eight to a flag byte.
const char Compressed[] = "SZDD\x88\xF0\x27\x33"
                          "A\0\x0D\0\0\0"
                          "\xFF"
                          "PernaUpd"
                          "\x1F"
                          "ate\r\n";
const char Expanded[] = "PernaUpdate\r\n";

// Expands through handles, as the updater does.
bool ExpandsWithLz(const char *source, const char *target)
{
    HANDLE file = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    INT in = LZInit((INT)(INT_PTR)file);
    if (in < 0) {
        CloseHandle(file);
        return false;
    }
    HANDLE out = CreateFileA(target, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    LONG copied = out == INVALID_HANDLE_VALUE ? -1 : LZCopy(in, (INT)(INT_PTR)out);
    LZClose(in);
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    char buffer[64] = {0};
    FILE *f = fopen(target, "rb");
    size_t got = f ? fread(buffer, 1, sizeof buffer, f) : 0;
    if (f)
        fclose(f);
    return copied == (LONG)strlen(Expanded) && got == strlen(Expanded) && memcmp(buffer, Expanded, got) == 0;
}

}  // namespace

extern "C" HMODULE WINAPI OldSystemLoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags)
{
    if (flags & 0xFFFFFF00) {  // every LOAD_LIBRARY_SEARCH_* flag: unknown to those systems
        ++loadsWithFlags;
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return LoadLibraryExA(name, file, flags);
}

BOOL WINAPI RecordingSetDllDirectoryA(LPCSTR directory)
{
    lstrcpynA(dllDirectory, directory != NULL ? directory : "(NULL)", sizeof dllDirectory);
    return SetDllDirectoryA(directory);
}

extern "C" FARPROC WINAPI OldSystemGetProcAddress(HMODULE module, LPCSTR name)
{
    if ((ULONG_PTR)name <= 0xFFFF)
        return GetProcAddress(module, name);
    if (strcmp(name, "SetDefaultDllDirectories") == 0)
        return NULL;
    FARPROC found = GetProcAddress(module, name);
    if (found != NULL && strcmp(name, "SetDllDirectoryA") == 0)
        return (FARPROC)(void *)RecordingSetDllDirectoryA;
    return found;
}

int main()
{
    // Its files go beside it.
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    char *slash = n > 0 && n < MAX_PATH ? strrchr(path, '\\') : NULL;
    if (slash != NULL)
        *slash = 0;
    Report(slash != NULL && SetCurrentDirectoryA(path), "the current directory is the probe's folder");

    Report(RestrictDllSearch() == 1, "without SetDefaultDllDirectories, RestrictDllSearch falls back (returns 1)");
    Report(strcmp(dllDirectory, "") == 0, "to SetDllDirectoryA(\"\"), which takes the current directory out");
    if (strcmp(dllDirectory, "") != 0)
        printf("     SetDllDirectoryA was given %s\n", dllDirectory);

    FILE *f = fopen("sample.tx_", "wb");
    bool written = f != NULL && fwrite(Compressed, 1, sizeof Compressed - 1, f) == sizeof Compressed - 1;
    if (f != NULL && fclose(f) != 0)
        written = false;
    Report(written && ExpandsWithLz("sample.tx_", "sample.txt"), "the LZ functions expand an SZDD file");
    Report(loadsWithFlags > 0, "they were bound after LoadLibraryExA refused the search flags");
    char system[MAX_PATH], loaded[MAX_PATH];
    HMODULE lz32 = GetModuleHandleA("lz32.dll");
    UINT length = GetSystemDirectoryA(system, MAX_PATH - 16);
    bool fromSystem = lz32 != NULL && length > 0 && length < MAX_PATH - 16 &&
                      GetModuleFileNameA(lz32, loaded, MAX_PATH) > 0 &&
                      lstrcmpiA(strcat(system, "\\lz32.dll"), loaded) == 0;
    Report(fromSystem, "lz32.dll is the system directory's");
    Report(!Exists("lz32-planted-loaded.txt"), "the lz32.dll beside the probe is not loaded");
    return failures ? 1 : 0;
}

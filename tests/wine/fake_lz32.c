/* A stand-in LZ32.dll for the binding test: it only leaves a marker file beside itself when a process
 * loads it, and every call fails. If the updater ever loads it, the marker shows it. */
#include <windows.h>

static void LeaveMarker(HINSTANCE self)
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(self, path, MAX_PATH - 32);
    if (!n || n >= MAX_PATH - 32)
        return;
    char *slash = strrchr(path, '\\');
    if (!slash)
        return;
    lstrcpyA(slash + 1, "lz32-planted-loaded.txt");
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        LeaveMarker(self);
    return TRUE;
}

__declspec(dllexport) INT WINAPI LZOpenFileA(LPSTR name, LPOFSTRUCT of, WORD mode)
{
    (void)name;
    (void)of;
    (void)mode;
    return -1;
}

__declspec(dllexport) INT WINAPI LZInit(INT source)
{
    (void)source;
    return -1;
}

__declspec(dllexport) LONG WINAPI LZCopy(INT source, INT target)
{
    (void)source;
    (void)target;
    return -1;
}

__declspec(dllexport) INT WINAPI LZRead(INT source, LPSTR buffer, INT length)
{
    (void)source;
    (void)buffer;
    (void)length;
    return -1;
}

__declspec(dllexport) void WINAPI LZClose(INT handle)
{
    (void)handle;
}

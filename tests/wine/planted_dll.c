/* A DLL to plant beside a program under any name: when a process loads it, it leaves
 * NAME-planted-loaded.txt beside itself (NAME being the file name it was loaded as), and exports nothing. */
#include <windows.h>

static void LeaveMarker(HINSTANCE self)
{
    static const char suffix[] = "-planted-loaded.txt";
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(self, path, MAX_PATH - sizeof suffix);
    if (!n || n >= MAX_PATH - sizeof suffix)
        return;
    lstrcpyA(path + n, suffix);
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

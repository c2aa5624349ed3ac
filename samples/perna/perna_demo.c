/* The demo build of the tool that the sample updater installs: it only says which build it is. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show)
{
    (void)instance;
    (void)previous;
    (void)command_line;
    (void)show;
    MessageBoxW(NULL, L"\x30da\x30eb\x30ca \x30c7\x30e2\x7248 2015-04-21", L"\x30da\x30eb\x30ca",
                MB_OK | MB_ICONINFORMATION);
    return 0;
}

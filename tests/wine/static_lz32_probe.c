/* Imports LZ32 statically: planted beside a fake LZ32.dll with lz32=n,b it must load the fake, which
 * shows that the plant in the binding test is real. */
#include <windows.h>

#include <lzexpand.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show)
{
    (void)instance;
    (void)previous;
    (void)command_line;
    (void)show;
    LZClose(-1);
    return 0;
}

// The Windows entry point: a GUI program without a window that runs the update once.
#include "run_update.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return RunUpdate();
}

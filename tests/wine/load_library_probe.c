/* Loads each DLL named on its command line with plain LoadLibraryA, the search an unrestricted program
 * gets: planted beside copies of the planted DLL with NAME=n,b, it must load every one of them. */
#include <windows.h>

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        LoadLibraryA(argv[i]);
    return 0;
}

// The stand-in's entry point: a console program that runs the update once, ignoring its arguments.
#include "run_update.h"

int main(int, char **)
{
    if (RefuseLoaderRedirection())
        return 0;
    return RunUpdate();
}

// Waiting out another process's brief hold on a file: a scanner, an indexer or a sync tool that has it open.
#include "install.h"

namespace {

// The waits double from the first to the longest, and stop once they add up to the bound: long enough for
// a scan of one file to end, short enough that a file held for good (the tool itself running) costs the
// user only a moment before the outcome it always had.
const DWORD FirstWaitMilliseconds = 50;
const DWORD LongestWaitMilliseconds = 500;

}  // namespace

void StartHeldFileWait(HeldFileWait *wait)
{
    wait->waited = 0;
    wait->next = FirstWaitMilliseconds;
}

int WaitForHeldFile(HeldFileWait *wait, LONG status)
{
    // Another process's open shows as a sharing violation, and, to a rename over the file, as access denied;
    // nothing else passes with time.
    if ((status != STATUS_SHARING_VIOLATION && status != STATUS_ACCESS_DENIED) || wait->waited >= HeldFileWaitBound)
        return 0;
    DWORD pause = wait->next;
    if (pause > HeldFileWaitBound - wait->waited)
        pause = HeldFileWaitBound - wait->waited;
    Sleep(pause);
    wait->waited += pause;
    wait->next = wait->next * 2 < LongestWaitMilliseconds ? wait->next * 2 : LongestWaitMilliseconds;
    return 1;
}

LONG OpenExistingUnshared(HANDLE folder, const char *name, DWORD access, HANDLE *file)
{
    HeldFileWait wait;
    StartHeldFileWait(&wait);
    LONG opened;
    do
        opened = OpenInFolder(folder, name, access, 0, FILE_OPEN, 0, file);
    while (opened < 0 && WaitForHeldFile(&wait, opened));
    return opened;
}

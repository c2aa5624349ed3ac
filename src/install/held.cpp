// Waiting out another process's brief hold on a file or folder: a scanner, an indexer or a sync tool that has it open.
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

int WaitLonger(HeldFileWait *wait)
{
    if (wait->waited >= HeldFileWaitBound)
        return 0;
    DWORD pause = wait->next;
    if (pause > HeldFileWaitBound - wait->waited)
        pause = HeldFileWaitBound - wait->waited;
    Sleep(pause);
    wait->waited += pause;
    wait->next = wait->next * 2 < LongestWaitMilliseconds ? wait->next * 2 : LongestWaitMilliseconds;
    return 1;
}

int WaitForHeldFile(HeldFileWait *wait, LONG status)
{
    // Another process's open shows as a sharing violation, and, to a rename over the file, as access denied
    // (an oplock being broken is taken for one too: see OpenInFolder); nothing else passes with time.
    if (status != STATUS_SHARING_VIOLATION && status != STATUS_ACCESS_DENIED)
        return 0;
    return WaitLonger(wait);
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

LONG CreateNewUnshared(HANDLE folder, const char *name, DWORD access, DWORD options, HANDLE *file)
{
    // A file deleted while another process (a scanner) still had it open keeps its name until that process
    // lets go: a deletion of the old way, by another program, or by a run on a system without POSIX deletion.
    HeldFileWait wait;
    StartHeldFileWait(&wait);
    LONG created;
    do
        created = OpenInFolder(folder, name, access, 0, FILE_CREATE, options, file);
    while (created == STATUS_DELETE_PENDING && WaitLonger(&wait));
    return created;
}

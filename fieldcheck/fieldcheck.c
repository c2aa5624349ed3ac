/* The field check: on a disposable Windows machine, runs a given updater through the cases that matter on
 * a real system, on a sample installation of its own, answers its boxes and prints a verdict for each.
 *
 *   PernaFieldCheck.exe PATH\PernaUpdate.exe
 *
 * One line per case (PASS name, FAIL name: reason, SKIP name: reason), then "N passed, N failed, N skipped".
 * Exit status 0 with no failure, 1 with one, 2 when it cannot or must not run, 3 when stopped (Ctrl+C,
 * the console closed), having cleaned up.
 *
 * It changes the machine only in ways it can undo, and writes down what it is about to make before making
 * it: the product's key, which it creates with a value of its own (MarkerValue) naming its folders, so that
 * a run that was killed is cleaned up by the next. A product key without that value is a real installation:
 * it then refuses to start. */
#include <windows.h>
#include <winsafer.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "box_answering.h"
#include "expected_texts.h"
#include "own_folders.h"
#include "szdd_format.h"

/* The updater waits out a tool held for a moment (a scanner's open, released within its bound of a few
 * seconds), so that case is a normal update; 0 would expect the tool reported missing, as held for good. */
#define HELD_BRIEFLY_UPDATES 1

#define RUN_TIMEOUT_MS 180000
/* A failure the updater can see at once is reported within this time of the confirmation. */
#define PROMPT_FAILURE_MS 15000
#define MAX_BOXES 8
#define FOLDER_PREFIX L"PernaFieldCheck-"
/* The most installed sizes of PERNA.EXE an updater's table is read with. */
#define MAX_ACCEPTED 256

static const wchar_t ProductKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\KaryomWin.exe";
static const wchar_t MarkerValue[] = L"PernaFieldCheck";
/* The updater reads the key through its own registry view: both are written (one key where they are shared). */
static const REGSAM Views[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

/* Times of the sample installation's files: long past, and far ahead (an installed tool already current). */
static const SYSTEMTIME OldTime = {2001, 1, 1, 1, 12, 0, 0, 0};
static const SYSTEMTIME FutureTime = {2099, 1, 4, 1, 12, 0, 0, 0};
static const char OldDayOff[] = "[2001]\r\n; the field check's sample\r\n";

static wchar_t work_root[MAX_PATH], program_folder[MAX_PATH], virtual_store[MAX_PATH];
static DWORD tool_length, dayoff_length;
/* The installed sizes of PERNA.EXE the updater accepts, ended by 0, and the size of the sample installation's. */
static DWORD accepted[MAX_ACCEPTED + 1], sample_length;

/* Stopping: the console handler asks, the main thread cleans up and ends the process. */
static volatile LONG stop_requested;
static HANDLE volatile running_updater;
/* The sample tool, while the check holds it open (sharing nothing): closed before anything is removed. */
static HANDLE holding;

struct Outcome {
    int boxes;
    char caption[MAX_BOXES][64];
    char text[MAX_BOXES][512];
    int style[MAX_BOXES], id[MAX_BOXES];
    DWORD confirmed_at, last_box_at;
    DWORD status;
};

static int passed, failed, skipped;
/* Why the last updater could not be started. */
static DWORD start_error;
/* Whether this system refuses this process (and so the updater) junctions that non-administrators made. */
static int redirection_guard;

static void Verdict(const char *name, const char *problem, const char *skip)
{
    if (skip) {
        printf("SKIP %s: %s\n", name, skip);
        skipped++;
    } else if (problem) {
        printf("FAIL %s: %s\n", name, problem);
        failed++;
    } else {
        printf("PASS %s\n", name);
        passed++;
    }
    fflush(stdout);
}

/* Whether a path names one of this program's folders: only those are ever removed on a marker's word. */
static int OwnFolder(const wchar_t *path)
{
    const wchar_t *name = wcsrchr(path, L'\\');
    return name && !wcsncmp(name + 1, FOLDER_PREFIX, wcslen(FOLDER_PREFIX));
}

/* The product key in one view: 0 absent, 1 this program's (its folders removed when remove is set),
 * 2 empty (a creation cut short before the marker), 3 someone else's. */
static int ProductKeyState(REGSAM view, int remove)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProductKey, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return 0;
    static wchar_t folders[3 * MAX_PATH + 1];
    DWORD size = sizeof folders - sizeof(wchar_t), type = 0, values = 0, subkeys = 0;
    memset(folders, 0, sizeof folders);
    LONG marked = RegQueryValueExW(key, MarkerValue, NULL, &type, (BYTE *)folders, &size);
    RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    if (marked != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return values || subkeys ? 3 : 2;
    for (const wchar_t *f = folders; remove && *f; f += wcslen(f) + 1) {
        if (OwnFolder(f))
            RemoveTree(f);
    }
    return 1;
}

/* Removes this program's key, in both views, with what its marker names. */
static void RemoveProductKey(void)
{
    for (int i = 0; i < 2; i++) {
        int state = ProductKeyState(Views[i], 1);
        if (state == 1 || state == 2)
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, ProductKey, Views[i], 0);
    }
}

/* Removes what this run made. A folder that a scanner or indexer still holds something in is tried again
 * for a few seconds; one that stays, or that a link now stands in the way of, keeps the key and its marker,
 * so that the next run tries again. */
static void CleanUp(void)
{
    const wchar_t *named[] = {work_root, program_folder, virtual_store};
    if (holding)
        CloseHandle(holding);
    holding = NULL;
    for (int i = 0; i < 3; i++) {
        int removed = RemoveTree(named[i]);
        for (int tries = 1; tries < 10 && !removed; tries++) {
            Sleep(500);
            removed = RemoveTree(named[i]);
        }
        if (!removed) {
            printf("could not remove %ls (still held, or reached through a link): the field check's next run "
                   "tries again\n",
                   named[i]);
            return;
        }
    }
    RemoveProductKey();
}

static void StopIfAsked(void)
{
    if (!stop_requested)
        return;
    CleanUp();
    printf("stopped: what the field check made is removed\n");
    fflush(stdout);
    ExitProcess(3);
}

static BOOL WINAPI OnStop(DWORD type)
{
    (void)type;
    InterlockedExchange(&stop_requested, 1);
    HANDLE updater = running_updater;
    if (updater)
        TerminateProcess(updater, 97);
    /* The main thread cleans up and ends the process; the console waits a few seconds for it. */
    Sleep(20000);
    return TRUE;
}

/* Writes the product key's Path (or, with path NULL, creates the key with the marker naming the folders
 * about to be made) in both views; 0 on failure. */
static int WriteProductKey(const wchar_t *path)
{
    static wchar_t folders[3 * MAX_PATH + 1];
    size_t used = 0;
    const wchar_t *named[] = {work_root, program_folder, virtual_store};
    for (int i = 0; i < 3; i++) {
        wcscpy(folders + used, named[i]);
        used += wcslen(named[i]) + 1;
    }
    folders[used++] = 0;
    for (int i = 0; i < 2; i++) {
        HKEY key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProductKey, 0, NULL, 0, KEY_SET_VALUE | Views[i], NULL, &key, NULL))
            return 0;
        LONG written = path ? RegSetValueExW(key, L"Path", 0, REG_SZ, (const BYTE *)path,
                                             (DWORD)(wcslen(path) + 1) * sizeof(wchar_t))
                            : RegSetValueExW(key, MarkerValue, 0, REG_MULTI_SZ, (const BYTE *)folders,
                                             (DWORD)used * sizeof(wchar_t));
        RegCloseKey(key);
        if (written)
            return 0;
    }
    return 1;
}

/* The expanded length a payload resource of the updater declares; 0 when it has none. */
static DWORD DeclaredLength(HMODULE updater, const wchar_t *name)
{
    HRSRC found = FindResourceW(updater, name, L"BIN");
    DWORD size = found ? SizeofResource(updater, found) : 0;
    const unsigned char *data = found ? LockResource(LoadResource(updater, found)) : NULL;
    if (!data || size < SzddContainerPrefixSize + SzddHeaderSize ||
        memcmp(data + SzddContainerPrefixSize, SzddMagic, SzddMagicSize))
        return 0;
    const unsigned char *n = data + SzddContainerLengthOffset;
    return n[0] | n[1] << 8 | n[2] << 16 | (DWORD)n[3] << 24;
}

/* The updater's table of accepted installed sizes, read from the section of its image that holds it alone, into
 * accepted; 0 when the file has none, or an empty one. */
static int ReadAcceptedSizes(const wchar_t *updater)
{
    static unsigned char head[4096];
    DWORD got = 0;
    int found = 0;
    HANDLE f = CreateFileW(updater, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    memset(accepted, 0, sizeof accepted);
    if (ReadFile(f, head, sizeof head, &got, NULL) && got >= 0x40) {
        DWORD pe = *(const DWORD *)(head + 0x3C);
        if (pe < got - 24 && !memcmp(head + pe, "PE\0\0", 4)) {
            WORD sections = *(const WORD *)(head + pe + 6), optional = *(const WORD *)(head + pe + 20);
            for (DWORD i = 0, at = pe + 24 + optional; !found && i < sections && at + 40 <= got; i++, at += 40) {
                DWORD size = *(const DWORD *)(head + at + 8), raw = *(const DWORD *)(head + at + 16);
                if (strncmp((const char *)head + at, ACCEPTED_SIZE_SECTION, 8))
                    continue;
                size = min(min(size ? size : raw, raw), MAX_ACCEPTED * sizeof(DWORD));
                found =
                    SetFilePointer(f, *(const DWORD *)(head + at + 20), NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                    ReadFile(f, accepted, size, &got, NULL) && got == size;
            }
        }
    }
    CloseHandle(f);
    return found && accepted[0];
}

/* Whether the updater accepts an installed tool of that size: an entry, or one byte off one. */
static int Accepted(DWORD size)
{
    for (const DWORD *e = accepted; *e; e++) {
        if ((ULONGLONG)size + 1 == *e || size == *e || size == (ULONGLONG)*e + 1)
            return 1;
    }
    return 0;
}

/* An installed size that no entry accepts, next to the first accepted size. */
static DWORD OtherSize(void)
{
    for (DWORD size = accepted[0] - 1; size-- > 1;) {
        if (!Accepted(size))
            return size;
    }
    DWORD size = accepted[0] + 2;
    while (Accepted(size))
        size++;
    return size;
}

static unsigned char OldToolByte(DWORD i)
{
    return (unsigned char)("old PERNA.EXE of the field check\r\n"[i % 34]);
}

static int WriteFileAt(const wchar_t *path, const void *bytes, DWORD size, const SYSTEMTIME *time)
{
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    FILETIME ft;
    int ok = WriteFile(f, bytes, size, &written, NULL) && written == size && SystemTimeToFileTime(time, &ft) &&
             SetFileTime(f, NULL, NULL, &ft);
    return CloseHandle(f) && ok;
}

/* The sample installation in dir: a PERNA.EXE of sample_length bytes dated tool_time and a KALENDO.INI dated
 * long past; 0 on failure. */
static int MakeInstallation(const wchar_t *dir, const SYSTEMTIME *tool_time)
{
    wchar_t path[MAX_PATH];
    unsigned char *tool = malloc(sample_length);
    if (!tool)
        return 0;
    for (DWORD i = 0; i < sample_length; i++)
        tool[i] = OldToolByte(i);
    CreateDirectoryW(dir, NULL);
    _snwprintf(path, MAX_PATH, L"%ls\\PERNA.EXE", dir);
    int ok = WriteFileAt(path, tool, sample_length, tool_time);
    free(tool);
    _snwprintf(path, MAX_PATH, L"%ls\\KALENDO.INI", dir);
    return ok && WriteFileAt(path, OldDayOff, sizeof OldDayOff - 1, &OldTime);
}

/* What is at path: its size and last-write time, whether it starts as the sample tool; 0 when absent. */
static int Examine(const wchar_t *path, DWORD *size, FILETIME *time, int *sample)
{
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    unsigned char head[64];
    DWORD got = 0;
    *size = GetFileSize(f, NULL);
    GetFileTime(f, NULL, NULL, time);
    ReadFile(f, head, sizeof head, &got, NULL);
    CloseHandle(f);
    *sample = got > 0;
    for (DWORD i = 0; i < got; i++)
        *sample &= head[i] == OldToolByte(i);
    return 1;
}

/* Checks the installation after a run; NULL when it is as expected, else what is wrong. updated: the
 * payloads installed, else the sample as made with tool_time. */
static const char *CheckInstallation(const wchar_t *dir, int updated, const SYSTEMTIME *tool_time)
{
    static char problem[256];
    wchar_t tool[MAX_PATH], dayoff[MAX_PATH];
    _snwprintf(tool, MAX_PATH, L"%ls\\PERNA.EXE", dir);
    _snwprintf(dayoff, MAX_PATH, L"%ls\\KALENDO.INI", dir);
    DWORD tool_size, dayoff_size;
    FILETIME tool_ft, dayoff_ft, made, old;
    int tool_sample, dayoff_sample;
    SystemTimeToFileTime(tool_time, &made);
    SystemTimeToFileTime(&OldTime, &old);
    if (!Examine(tool, &tool_size, &tool_ft, &tool_sample) ||
        !Examine(dayoff, &dayoff_size, &dayoff_ft, &dayoff_sample))
        return "PERNA.EXE or KALENDO.INI is gone";
    if (Entries(dir) != 2)
        return "the installation folder holds other files than PERNA.EXE and KALENDO.INI";
    if (updated) {
        if (tool_size != tool_length || tool_sample || CompareFileTime(&tool_ft, &made) <= 0)
            _snprintf(problem, sizeof problem, "PERNA.EXE is not the payload (%lu bytes, %s)", tool_size,
                      tool_sample ? "the sample's bytes" : "not newer than the sample");
        else if (dayoff_size != dayoff_length)
            _snprintf(problem, sizeof problem, "KALENDO.INI is %lu bytes, not the payload's %lu", dayoff_size,
                      dayoff_length);
        else
            return NULL;
        return problem;
    }
    if (tool_size != sample_length || !tool_sample || CompareFileTime(&tool_ft, &made))
        return "PERNA.EXE was changed";
    if (dayoff_size != sizeof OldDayOff - 1 || CompareFileTime(&dayoff_ft, &old))
        return "KALENDO.INI was changed";
    return NULL;
}

/* The name of a box seen, for a report: the expected box its text is, or its text's first bytes. */
static void DescribeBoxes(const struct Outcome *o, char *out, size_t room)
{
    static const struct ExpectedBox *known[] = {&BoxConfirm,        &BoxToolUpdated,     &BoxToolMissing,
                                                &BoxAlreadyCurrent, &BoxVersionMismatch, &BoxFailed1,
                                                &BoxFailed2,        &BoxFailed4};
    size_t used = _snprintf(out, room, "boxes:");
    for (int i = 0; i < o->boxes && used < room; i++) {
        const char *name = "an unknown box";
        for (size_t k = 0; k < sizeof known / sizeof known[0]; k++) {
            if (!strcmp(o->text[i], known[k]->text))
                name = known[k]->name;
        }
        used += _snprintf(out + used, room - used, " %s (style 0x%x, answered %d%s)", name, o->style[i], o->id[i],
                          strcmp(o->caption[i], ExpectedCaption) ? ", another caption" : "");
    }
    if (!o->boxes)
        _snprintf(out + used, room - used, " none");
}

/* Whether box i is the expected one, answered with id: caption, text and style byte for byte. */
static int BoxIs(const struct Outcome *o, int i, const struct ExpectedBox *expected, int id)
{
    return i < o->boxes && !strcmp(o->caption[i], ExpectedCaption) && !strcmp(o->text[i], expected->text) &&
           o->style[i] == expected->style && o->id[i] == id;
}

/* Starts the updater with TMP and TEMP set to stage (and extra, "NAME=value\0...\0"), as this process or
 * with token, answers its boxes in order, and records them in *o. release: the held tool is let go a second
 * after the confirmation is answered. 0 with *why when it could not be run to its end. */
static int RunUpdater(const wchar_t *updater, const wchar_t *stage, const wchar_t *extra, HANDLE token,
                      const wchar_t *answers, int release, struct Outcome *o, const char **why)
{
    static wchar_t added[2048], command[MAX_PATH + 4];
    static char reason[128];
    int used = _snwprintf(added, 1024, L"TMP=%ls", stage) + 1;
    used += _snwprintf(added + used, 1024, L"TEMP=%ls", stage) + 1;
    for (const wchar_t *e = extra; e && *e; e += wcslen(e) + 1)
        used += _snwprintf(added + used, 256, L"%ls", e) + 1;
    added[used] = 0;
    wchar_t *environment = ChildEnvironment(added);
    _snwprintf(command, MAX_PATH + 4, L"\"%ls\"", updater);

    memset(o, 0, sizeof *o);
    struct Answered u = {{0}};
    u.next_answer = answers;
    STARTUPINFOW si = {sizeof si};
    BOOL started =
        token ? CreateProcessAsUserW(token, updater, command, NULL, NULL, FALSE,
                                     CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, environment, NULL, &si, &u.pi)
              : CreateProcessW(updater, command, NULL, NULL, FALSE, CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED,
                               environment, NULL, &si, &u.pi);
    free(environment);
    if (!started) {
        start_error = GetLastError();
        _snprintf(reason, sizeof reason, "the updater could not be started (error %lu)", start_error);
        *why = reason;
        return 0;
    }
    running_updater = u.pi.hProcess;
    ResumeThread(u.pi.hThread);
    DWORD begun = GetTickCount(), release_at = 0;
    int result = 1;
    for (;;) {
        if (stop_requested) {
            TerminateProcess(u.pi.hProcess, 97);
            WaitForSingleObject(u.pi.hProcess, 5000);
            StopIfAsked();
        }
        if (release && holding && release_at && GetTickCount() - release_at < 0x80000000u) {
            CloseHandle(holding);
            holding = NULL;
        }
        struct Box box;
        int seen = PollAnswered(&u, &box);
        if (seen == 1)
            break;
        if (seen == 2 && o->boxes < MAX_BOXES) {
            int i = o->boxes++;
            WideCharToMultiByte(932, 0, box.caption, -1, o->caption[i], sizeof o->caption[i], NULL, NULL);
            WideCharToMultiByte(932, 0, box.text, -1, o->text[i], sizeof o->text[i], NULL, NULL);
            o->style[i] = box.style;
            o->id[i] = box.id;
            o->last_box_at = GetTickCount();
            AnswerBox(&u, &box);
            if (i == 0) {
                o->confirmed_at = GetTickCount();
                release_at = o->confirmed_at + 1000;
            }
        } else if (seen == 2 || GetTickCount() - begun > RUN_TIMEOUT_MS) {
            TerminateProcess(u.pi.hProcess, 98);
            WaitForSingleObject(u.pi.hProcess, 5000);
            *why = seen == 2 ? "the updater showed too many boxes" : "the updater did not finish";
            result = 0;
            break;
        }
        Sleep(20);
    }
    running_updater = NULL;
    o->status = u.status;
    CloseHandle(u.pi.hThread);
    CloseHandle(u.pi.hProcess);
    return result;
}

/* One case's folders, made fresh: DIR\<name>-install holds the installation, DIR\<name>-tmp is the stage. */
static void CaseFolders(const wchar_t *root, const char *name, wchar_t *install, wchar_t *stage)
{
    _snwprintf(install, MAX_PATH, L"%ls\\%hs-install", root, name);
    _snwprintf(stage, MAX_PATH, L"%ls\\%hs-tmp", root, name);
    CreateDirectoryW(stage, NULL);
}

/* The verdict on a finished run: the boxes expected (first answered first_id, the rest OK), the
 * installation updated or not, the stage left empty. */
static const char *Judge(const struct Outcome *o, const struct ExpectedBox *first, int first_id,
                         const struct ExpectedBox *second, const wchar_t *install, int updated,
                         const SYSTEMTIME *tool_time, const wchar_t *stage)
{
    static char problem[1024];
    const char *files = CheckInstallation(install, updated, tool_time);
    if (o->boxes != 1 + (second != NULL) || !BoxIs(o, 0, first, first_id) || (second && !BoxIs(o, 1, second, IDOK))) {
        char seen[900];
        DescribeBoxes(o, seen, sizeof seen);
        _snprintf(problem, sizeof problem, "expected %s then %s; %s", first->name, second ? second->name : "nothing",
                  seen);
        return problem;
    }
    if (files)
        return files;
    if (stage && Entries(stage) != 0)
        return "the stage folder was left with files in it";
    if (o->status != 0) {
        _snprintf(problem, sizeof problem, "the updater ended with status 0x%lx", o->status);
        return problem;
    }
    return NULL;
}

/* A plain case: the sample installation dated tool_time, the answers given, optionally PERNA.EXE held
 * (for good, or released a second after the confirmation). */
static void PlainCase(const wchar_t *updater, const char *name, const SYSTEMTIME *tool_time, const wchar_t *answers,
                      int hold, int release, const struct ExpectedBox *second, int updated)
{
    wchar_t install[MAX_PATH], stage[MAX_PATH], tool[MAX_PATH];
    const char *why = NULL;
    struct Outcome o;
    StopIfAsked();
    CaseFolders(work_root, name, install, stage);
    if (!MakeInstallation(install, tool_time) || !WriteProductKey(install)) {
        Verdict(name, "the sample installation could not be made", NULL);
        return;
    }
    _snwprintf(tool, MAX_PATH, L"%ls\\PERNA.EXE", install);
    if (hold) {
        holding = CreateFileW(tool, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (holding == INVALID_HANDLE_VALUE) {
            holding = NULL;
            Verdict(name, "PERNA.EXE could not be held open", NULL);
            return;
        }
    }
    int ran = RunUpdater(updater, stage, NULL, NULL, answers, release, &o, &why);
    if (holding)
        CloseHandle(holding);
    holding = NULL;
    if (!ran) {
        Verdict(name, why, NULL);
        return;
    }
    int cancel = !wcscmp(answers, L"cancel");
    Verdict(name, Judge(&o, &BoxConfirm, cancel ? IDCANCEL : IDOK, second, install, updated, tool_time, stage), NULL);
}

/* An installed tool older than the payload but of a size that no entry of the updater's table accepts: the
 * version-mismatch box, and neither file replaced. */
static void OtherSizeCase(const wchar_t *updater)
{
    DWORD first = sample_length;
    sample_length = OtherSize();
    printf("     other-size: an installed PERNA.EXE of %lu bytes\n", sample_length);
    PlainCase(updater, "other-size", &OldTime, L"ok", 0, 0, &BoxVersionMismatch, 0);
    sample_length = first;
}

/* A token of this user as a normal user: the Administrators group for denying only, medium integrity, file
 * virtualization on where the system allows it (as for a program without a manifest started unelevated). */
static HANDLE NormalUserToken(void)
{
    SAFER_LEVEL_HANDLE level;
    HANDLE token = NULL;
    if (!SaferCreateLevel(SAFER_SCOPEID_USER, SAFER_LEVELID_NORMALUSER, SAFER_LEVEL_OPEN, &level, NULL))
        return NULL;
    if (!SaferComputeTokenFromLevel(level, NULL, &token, 0, NULL))
        token = NULL;
    SaferCloseLevel(level);
    /* Some systems hand out a token that is none (Wine's stub does). */
    TOKEN_TYPE type;
    DWORD size;
    if (!token || !GetTokenInformation(token, TokenType, &type, sizeof type, &size))
        return NULL;
    SID_IDENTIFIER_AUTHORITY label = {SECURITY_MANDATORY_LABEL_AUTHORITY};
    PSID medium;
    if (AllocateAndInitializeSid(&label, 1, SECURITY_MANDATORY_MEDIUM_RID, 0, 0, 0, 0, 0, 0, 0, &medium)) {
        TOKEN_MANDATORY_LABEL tml = {{medium, SE_GROUP_INTEGRITY}};
        SetTokenInformation(token, TokenIntegrityLevel, &tml, sizeof tml + GetLengthSid(medium));
        FreeSid(medium);
    }
    return token;
}

static int Elevated(void)
{
    HANDLE token;
    TOKEN_ELEVATION elevation = {0};
    DWORD size;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return elevation.TokenIsElevated != 0;
}

/* The updater run as a normal user, on an installation in the program files folder: it must fail with
 * (2) and write nothing, neither there nor, virtualized, in the user's VirtualStore. A clean run whose token
 * had no virtualization is inconclusive (skipped), never a pass. */
static void NotElevatedCase(const wchar_t *updater)
{
    const char *name = "not-elevated";
    wchar_t install[MAX_PATH], stage[MAX_PATH], probe[MAX_PATH];
    StopIfAsked();
    if (!Elevated()) {
        Verdict(name, NULL, "this process is not elevated, so there is nothing to take away");
        return;
    }
    HANDLE token = NormalUserToken();
    if (!token) {
        Verdict(name, NULL, "no normal-user token could be made here");
        return;
    }
    CreateDirectoryW(program_folder, NULL);
    _snwprintf(install, MAX_PATH, L"%ls\\%hs-install", program_folder, name);
    CaseFolders(work_root, name, probe, stage); /* the stage: the user's own, as TMP is */
    if (!MakeInstallation(install, &OldTime) || !WriteProductKey(install)) {
        CloseHandle(token);
        Verdict(name, "the sample installation could not be made", NULL);
        return;
    }
    /* Where a normal user may write there anyway (no file permissions, as under Wine) the case says nothing. */
    _snwprintf(probe, MAX_PATH, L"%ls\\probe", install);
    if (!ImpersonateLoggedOnUser(token)) {
        CloseHandle(token);
        Verdict(name, NULL, "this process cannot act as the normal user here");
        return;
    }
    HANDLE f = CreateFileW(probe, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, NULL);
    int writable = f != INVALID_HANDLE_VALUE;
    if (writable)
        CloseHandle(f);
    RevertToSelf();
    if (writable) {
        CloseHandle(token);
        Verdict(name, NULL, "a normal user may write in the program files folder here (file permissions not enforced)");
        return;
    }
    /* Whether Windows gives this token virtualization at all is its own affair (a token made from the elevated
     * one may not get it): the token is asked, and a run without it says nothing about the VirtualStore. */
    DWORD allowed = 0, on = 1, size;
    if (!GetTokenInformation(token, TokenVirtualizationAllowed, &allowed, sizeof allowed, &size))
        allowed = 0;
    SetTokenInformation(token, TokenVirtualizationEnabled, &on, sizeof on);
    if (!GetTokenInformation(token, TokenVirtualizationEnabled, &on, sizeof on, &size))
        on = 0;
    printf("     %s: the updater runs as a normal user, file virtualization %s by its token and %s\n", name,
           allowed ? "allowed" : "not allowed", on ? "on" : "off");
    struct Outcome o;
    const char *why = NULL;
    /* As a user would start it unelevated: without the elevation that installer detection asks for. */
    int ran = RunUpdater(updater, stage, L"__COMPAT_LAYER=RunAsInvoker\0", token, L"ok", 0, &o, &why);
    CloseHandle(token);
    if (!ran && start_error == 740 /* ERROR_ELEVATION_REQUIRED */) {
        Verdict(name, NULL, "Windows will not start the updater unelevated (error 740)");
        return;
    }
    const char *problem = ran ? Judge(&o, &BoxConfirm, IDOK, &BoxFailed2, install, 0, &OldTime, stage) : why;
    if (GetFileAttributesW(virtual_store) != INVALID_FILE_ATTRIBUTES)
        problem = "the run wrote into the user's VirtualStore (file virtualization)";
    if (!problem && !(allowed && on))
        Verdict(name, NULL,
                allowed ? "inconclusive: file virtualization could not be turned on for the normal-user token, so "
                          "the run could not show that nothing lands in the VirtualStore"
                        : "inconclusive: the normal-user token does not allow file virtualization, so the run could "
                          "not show that nothing lands in the VirtualStore");
    else
        Verdict(name, problem, NULL);
}

/* TMP and TEMP the named-pipe folder, with a pipe of this program's at the staged tool's name: the tool
 * fails at once with (1) or (4), and nothing reaches the pipe. */
static void PipeCase(const wchar_t *updater)
{
    const char *name = "pipe-tmp";
    wchar_t install[MAX_PATH], stage[MAX_PATH];
    StopIfAsked();
    HANDLE pipe = CreateNamedPipeW(L"\\\\.\\pipe\\PERNA.EX_",
                                   PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE, 1, 0, 65536, 0, NULL);
    if (pipe == INVALID_HANDLE_VALUE) {
        static char why[96];
        _snprintf(why, sizeof why, "no pipe could be made at \\\\.\\pipe\\PERNA.EX_ (error %lu)", GetLastError());
        Verdict(name, NULL, why);
        return;
    }
    OVERLAPPED connected = {0};
    connected.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    ConnectNamedPipe(pipe, &connected);
    CaseFolders(work_root, name, install, stage);
    struct Outcome o;
    const char *why = NULL, *problem = NULL;
    if (!MakeInstallation(install, &OldTime) || !WriteProductKey(install))
        problem = "the sample installation could not be made";
    else if (!RunUpdater(updater, L"\\\\.\\pipe\\", NULL, NULL, L"ok", 0, &o, &why))
        problem = why;
    else {
        /* The tool's stage fails, (1); should the tool pass, the day-off file's, (4), and it is no update. */
        problem = Judge(&o, &BoxConfirm, IDOK, &BoxFailed1, install, 0, &OldTime, NULL);
        if (problem && BoxIs(&o, 1, &BoxFailed4, IDOK))
            problem = Judge(&o, &BoxConfirm, IDOK, &BoxFailed4, install, 0, &OldTime, NULL);
        DWORD waiting = 0;
        if (!problem && o.last_box_at - o.confirmed_at > PROMPT_FAILURE_MS)
            problem = "the failure took longer than 15 seconds";
        else if (!problem && PeekNamedPipe(pipe, NULL, 0, NULL, &waiting, NULL) && waiting)
            problem = "the updater wrote into the pipe";
    }
    CloseHandle(connected.hEvent);
    CloseHandle(pipe);
    Verdict(name, problem, NULL);
}

/* TMP and TEMP a junction to another folder, made by the normal user, as a user's process would make it.
 * Where Redirection Guard is on, the updater must not follow it: the tool's stage fails with (1) and nothing
 * changes. Where it is not, staging goes through it as through any folder: a normal update. Either way
 * nothing is left in the folder the junction leads to. */
static void JunctionCase(const wchar_t *updater)
{
    const char *name = "junction-tmp";
    wchar_t install[MAX_PATH], stage[MAX_PATH], target[MAX_PATH], link[64];
    StopIfAsked();
    /* A junction the administrator makes shows nothing: Redirection Guard lets those through. */
    HANDLE token = NormalUserToken();
    if (!token) {
        Verdict(name, NULL, "no normal-user token could be made here to make the junction with");
        return;
    }
    _snwprintf(install, MAX_PATH, L"%ls\\%hs-install", work_root, name);
    _snwprintf(link, 64, L"%hs-tmp", name);
    _snwprintf(stage, MAX_PATH, L"%ls\\%ls", work_root, link);
    _snwprintf(target, MAX_PATH, L"%ls\\%hs-target", work_root, name);
    CreateDirectoryW(target, NULL);
    DWORD error = 0;
    int made = 0;
    if (ImpersonateLoggedOnUser(token)) {
        made = MakeJunctionIn(work_root, link, target, &error);
        RevertToSelf();
    } else {
        error = GetLastError();
    }
    CloseHandle(token);
    if (!made) {
        static char why[96];
        _snprintf(why, sizeof why, "no junction can be made here as the normal user (error %lu)", error);
        Verdict(name, NULL, why);
        return;
    }
    printf("     %s: Redirection Guard %s\n", name,
           redirection_guard ? "on: the updater must not follow the user's junction"
                             : "not on here: the updater goes through the user's junction");
    struct Outcome o;
    const char *why = NULL, *problem;
    if (!MakeInstallation(install, &OldTime) || !WriteProductKey(install))
        problem = "the sample installation could not be made";
    else if (!RunUpdater(updater, stage, NULL, NULL, L"ok", 0, &o, &why))
        problem = why;
    else
        problem = Judge(&o, &BoxConfirm, IDOK, redirection_guard ? &BoxFailed1 : &BoxToolUpdated, install,
                        !redirection_guard, &OldTime, target);
    Verdict(name, problem, NULL);
}

int wmain(int argc, wchar_t **argv)
{
    wchar_t updater[MAX_PATH], temp[MAX_PATH], programs[MAX_PATH], local[MAX_PATH];
    /* First of all: this process deletes in folders the user's processes may write. */
    redirection_guard = TrustOnlyAdministratorsJunctions();
    if (argc != 2 || !GetFullPathNameW(argv[1], MAX_PATH, updater, NULL)) {
        fprintf(stderr, "usage: PernaFieldCheck PATH\\PernaUpdate.exe\n");
        return 2;
    }
    HMODULE image = LoadLibraryExW(updater, NULL, LOAD_LIBRARY_AS_DATAFILE);
    tool_length = image ? DeclaredLength(image, L"BIN1") : 0;
    dayoff_length = image ? DeclaredLength(image, L"BIN2") : 0;
    if (image)
        FreeLibrary(image);
    if (!tool_length || !dayoff_length) {
        fprintf(stderr, "field check: %ls is no updater with both payloads\n", updater);
        return 2;
    }
    /* The sample installations are of the sizes this updater accepts, not of the length of the tool it carries. */
    if (!ReadAcceptedSizes(updater)) {
        fprintf(stderr, "field check: %ls holds no table of accepted sizes of an installed PERNA.EXE\n", updater);
        return 2;
    }
    sample_length = accepted[0];
    printf("field check of %ls: PERNA.EXE %lu bytes, KALENDO.INI %lu bytes; accepts an installed PERNA.EXE of", updater,
           tool_length, dayoff_length);
    for (const DWORD *e = accepted; *e; e++)
        printf("%s %lu", e == accepted ? "" : ",", *e);
    printf(" bytes (each give or take one); the sample installation's is %lu bytes\n", sample_length);
    printf("Redirection Guard: %s\n", redirection_guard ? "on" : "not available here");

    for (int i = 0; i < 2; i++) {
        if (ProductKeyState(Views[i], 0) == 3) {
            fprintf(stderr, "field check: the product is installed on this machine (its App Paths key exists and "
                            "is not the field check's); run it only on a disposable machine\n");
            return 2;
        }
    }
    /* What an earlier run that was stopped short left. */
    RemoveProductKey();

    DWORD pid = GetCurrentProcessId();
    GetTempPathW(MAX_PATH, temp);
    if (!GetEnvironmentVariableW(L"ProgramFiles", programs, MAX_PATH))
        wcscpy(programs, L"C:\\Program Files");
    if (!GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH))
        wcscpy(local, temp);
    _snwprintf(work_root, MAX_PATH, L"%ls" FOLDER_PREFIX L"%lu", temp, pid);
    _snwprintf(program_folder, MAX_PATH, L"%ls\\" FOLDER_PREFIX L"%lu", programs, pid);
    _snwprintf(virtual_store, MAX_PATH, L"%ls\\VirtualStore%ls\\" FOLDER_PREFIX L"%lu", local,
               wcschr(programs, L'\\') ? wcschr(programs, L'\\') : L"", pid);
    SetConsoleCtrlHandler(OnStop, TRUE);
    /* Written down first, so that whatever happens next can be found and undone. */
    if (!WriteProductKey(NULL)) {
        RemoveProductKey();
        fprintf(stderr, "field check: cannot write under HKEY_LOCAL_MACHINE: run it as an administrator\n");
        return 2;
    }
    if (!CreateDirectoryW(work_root, NULL)) {
        CleanUp();
        fprintf(stderr, "field check: cannot make %ls\n", work_root);
        return 2;
    }

    PlainCase(updater, "update", &OldTime, L"ok", 0, 0, &BoxToolUpdated, 1);
    PlainCase(updater, "cancel", &OldTime, L"cancel", 0, 0, NULL, 0);
    PlainCase(updater, "already-current", &FutureTime, L"ok", 0, 0, &BoxAlreadyCurrent, 0);
    PlainCase(updater, "held", &OldTime, L"ok", 1, 0, &BoxToolMissing, 0);
    PlainCase(updater, "held-briefly", &OldTime, L"ok", 1, 1, HELD_BRIEFLY_UPDATES ? &BoxToolUpdated : &BoxToolMissing,
              HELD_BRIEFLY_UPDATES);
    OtherSizeCase(updater);
    NotElevatedCase(updater);
    PipeCase(updater);
    JunctionCase(updater);

    StopIfAsked();
    CleanUp();
    SetConsoleCtrlHandler(OnStop, FALSE);
    printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    return failed ? 1 : 0;
}

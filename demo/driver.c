/* The demo's box driver, under Wine: starts the updater with an explicit environment, records every message
 * box it shows as a JSON line {"caption":...,"text":...,"style":N,"answer":N}, answers the boxes in the
 * order given, and reports the updater's exit status.
 *
 *   driver.exe --exe PATH --transcript OUT [--cwd DIR] [--env FILE] [--answers ok,cancel,close,...]
 *              [--args TEXT] [--hold PATH] [--hold-shared PATH] [--clear-key KEY] [--registry FILE.reg]
 *              [--values FILE [--view 32|64]] [--instances N] [--pause-ms N --shots DIR]
 *              [--hold-mutex NAME] [--squat NAME] [--pipe-server NAME] [--timeout-ms N] [--hold-for-ms N]
 *
 * --env: UTF-8 lines NAME=VALUE added to this process's environment, from which TMP and TEMP are
 * removed first. --hold PATH (up to 8): a file or folder kept open with share mode 0 while the updater runs;
 * --hold-shared PATH: likewise, sharing read, write and delete; --hold-for-ms N: every hold let go N ms after
 * the updaters start, instead of when they end. --instances N (up to 8): that many
 * updaters started at once, each answered by the same list; the first records to OUT, the k-th to
 * OUT.k. --hold-mutex NAME: a mutex of that name created and owned by this process until the updaters
 * end; --squat NAME: an event of that name instead, which takes the name from any mutex.
 * --pipe-server NAME (up to 4): a named pipe \\.\pipe\NAME served by this process while the updaters run,
 * as a user's process could; any client that connects to it fails the driver (status 4).
 * --timeout-ms N: how long the updaters may take, all together (default 60000).
 * --clear-key KEY (up to 8): deleted under HKEY_LOCAL_MACHINE first, in both registry views;
 * --registry FILE: then imported with regedit. --values FILE: then written by this process under
 * HKEY_LOCAL_MACHINE, through the 32-bit or 64-bit view if --view says so: lines KEY (an empty key) or
 * KEY<tab>NAME<tab>TYPE<tab>HEX (key and name in UTF-8, the type in decimal, the data in hex, string
 * types in the ANSI code page, as a REGEDIT4 file gives them). --pause-ms/--shots: before answering
 * box N, create DIR\box-N.shown (holding the box's screen rectangle) and wait, so that a screenshot can
 * be taken.
 * Once the answers run out every further box gets OK; "close" closes a box as its title bar would.
 * Prints "exit N" (one N per instance) on success; exit status 0, or 2 on bad usage, 3 when an updater
 * does not finish.
 *
 *   driver.exe --serve
 *
 * Runs one such run for each line read from standard input (the options above, separated by tabs, in
 * UTF-8), each ended by the line "done S", S the status the run would have ended a driver with; a run
 * that would end it with 2 still ends it. One driver then serves a whole session's runs: under emulation,
 * starting a Wine process costs seconds. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "box_answering.h"

#define DEFAULT_TIMEOUT_MS 60000
#define MAX_BOXES 64
#define MAX_INSTANCES 8

static void Die(const wchar_t *what)
{
    fwprintf(stderr, L"driver: %ls (error %lu)\n", what, GetLastError());
    exit(2);
}

/* The child's environment: this process's own without TMP and TEMP (in any spelling), then the lines
 * of the file, each NAME=VALUE in UTF-8. */
static wchar_t *EnvironmentBlock(const wchar_t *path)
{
    FILE *f = _wfopen(path, L"rb");
    if (!f)
        Die(L"cannot open the environment file");
    static char bytes[65536];
    size_t n = fread(bytes, 1, sizeof bytes - 1, f);
    fclose(f);
    bytes[n] = 0;

    wchar_t *added = calloc(n + 2, sizeof(wchar_t));
    size_t used = 0;
    char *line = bytes;
    while (*line) {
        char *end = strchr(line, '\n');
        if (end)
            *end = 0;
        size_t len = strlen(line);
        if (len && line[len - 1] == '\r')
            line[--len] = 0;
        if (len) {
            int w = MultiByteToWideChar(CP_UTF8, 0, line, (int)len, added + used, (int)(n + 1 - used));
            used += w;
            added[used++] = 0;
        }
        if (!end)
            break;
        line = end + 1;
    }
    added[used] = 0;
    wchar_t *block = ChildEnvironment(added);
    free(added);
    return block;
}

/* Runs a command line to its end; its exit status. */
static DWORD RunToEnd(wchar_t *command)
{
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        Die(command);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return status;
}

/* Deletes KEY under HKEY_LOCAL_MACHINE with all below it, in both views: on 64-bit Windows a key left
 * in the other view by an earlier run would otherwise still be found. */
static void ClearKey(const wchar_t *key)
{
    const REGSAM views[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
    for (int i = 0; i < 2; i++) {
        HKEY h;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS | views[i], &h) != ERROR_SUCCESS)
            continue;
        RegDeleteTreeW(h, NULL);
        RegCloseKey(h);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key, views[i], 0);
    }
}

/* Creates the keys and writes the values the file lists (see the usage above), through the given view
 * (0: this process's own). A line holding only a key creates it empty. */
static void SetValues(const wchar_t *path, REGSAM view)
{
    FILE *f = _wfopen(path, L"rb");
    if (!f)
        Die(L"cannot open the values file");
    static char line[16384];
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\r\n")] = 0;
        char *field[4] = {line, NULL, NULL, NULL};
        for (int i = 1; i < 4 && field[i - 1]; i++) {
            field[i] = strchr(field[i - 1], '\t');
            if (field[i])
                *field[i]++ = 0;
        }
        if (!*line)
            continue;
        static wchar_t key[1024], name[1024], wide[4096];
        static BYTE data[4096];
        if (!MultiByteToWideChar(CP_UTF8, 0, field[0], -1, key, 1024))
            Die(L"bad key in the values file");
        HKEY h;
        LONG created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_SET_VALUE | view, NULL, &h, NULL);
        if (created != ERROR_SUCCESS)
            Die(L"cannot create a registry key");
        if (field[3]) {
            if (!MultiByteToWideChar(CP_UTF8, 0, field[1], -1, name, 1024))
                Die(L"bad name in the values file");
            DWORD type = strtoul(field[2], NULL, 10), size = 0;
            for (const char *x = field[3]; x[0] && x[1] && size < sizeof data; x += 2) {
                char pair[3] = {x[0], x[1], 0};
                data[size++] = (BYTE)strtoul(pair, NULL, 16);
            }
            const BYTE *stored = data;
            if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
                /* As an ANSI program stores text: converted from the ANSI code page, nothing added. */
                int n = size ? MultiByteToWideChar(CP_ACP, 0, (const char *)data, (int)size, wide, 4096) : 0;
                stored = (const BYTE *)wide;
                size = (DWORD)n * sizeof(wchar_t);
            }
            if (RegSetValueExW(h, name, 0, type, stored, size) != ERROR_SUCCESS)
                Die(L"cannot write a registry value");
        }
        RegCloseKey(h);
    }
    fclose(f);
}

/* Records the box and answers it for the instance; 0, or 1 when the instance showed too many boxes. */
static int RecordAndAnswer(struct Answered *u, const struct Box *box, FILE *transcript, const wchar_t *shots,
                           int pause_ms)
{
    if (shots && pause_ms > 0) {
        wchar_t marker[MAX_PATH];
        _snwprintf(marker, MAX_PATH, L"%ls\\box-%d.shown", shots, u->boxes);
        /* The marker holds the box's place on the screen: left top right bottom. */
        RECT r;
        GetWindowRect(box->hwnd, &r);
        FILE *m = _wfopen(marker, L"wb");
        if (m) {
            fprintf(m, "%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
            fclose(m);
        }
        Sleep(pause_ms);
    }

    fputs("{\"caption\":", transcript);
    PutJsonString(transcript, box->caption);
    fputs(",\"text\":", transcript);
    PutJsonString(transcript, box->text);
    fprintf(transcript, ",\"style\":%d,\"answer\":%d}\n", box->style, box->id);
    fflush(transcript);

    AnswerBox(u, box);
    return u->boxes > MAX_BOXES;
}

/* One run of the updater as the options say; what the driver's exit status would be (2 ends the process). */
static int Drive(int argc, wchar_t **argv)
{
    const wchar_t *exe = NULL, *out = NULL, *cwd = NULL, *env_file = NULL, *answers = L"", *extra = NULL;
    const wchar_t *hold[8], *shots = NULL, *registry = NULL, *values = NULL, *clear[8];
    const wchar_t *mutex_name = NULL, *squat_name = NULL;
    const wchar_t *pipe_name[4];
    int pipes = 0;
    int holds = 0, clears = 0, pause_ms = 0, instances = 1, shared[8];
    DWORD timeout_ms = DEFAULT_TIMEOUT_MS, hold_for_ms = 0;
    REGSAM view = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!wcscmp(argv[i], L"--exe"))
            exe = argv[i + 1];
        else if (!wcscmp(argv[i], L"--transcript"))
            out = argv[i + 1];
        else if (!wcscmp(argv[i], L"--cwd"))
            cwd = argv[i + 1];
        else if (!wcscmp(argv[i], L"--env"))
            env_file = argv[i + 1];
        else if (!wcscmp(argv[i], L"--answers"))
            answers = argv[i + 1];
        else if (!wcscmp(argv[i], L"--args"))
            extra = argv[i + 1];
        else if (!wcscmp(argv[i], L"--hold") && holds < 8)
            shared[holds] = 0, hold[holds++] = argv[i + 1];
        else if (!wcscmp(argv[i], L"--hold-shared") && holds < 8)
            shared[holds] = 1, hold[holds++] = argv[i + 1];
        else if (!wcscmp(argv[i], L"--hold-for-ms"))
            hold_for_ms = (DWORD)_wtoi(argv[i + 1]);
        else if (!wcscmp(argv[i], L"--clear-key") && clears < 8)
            clear[clears++] = argv[i + 1];
        else if (!wcscmp(argv[i], L"--registry"))
            registry = argv[i + 1];
        else if (!wcscmp(argv[i], L"--values"))
            values = argv[i + 1];
        else if (!wcscmp(argv[i], L"--view"))
            view = !wcscmp(argv[i + 1], L"32") ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
        else if (!wcscmp(argv[i], L"--instances"))
            instances = _wtoi(argv[i + 1]);
        else if (!wcscmp(argv[i], L"--shots"))
            shots = argv[i + 1];
        else if (!wcscmp(argv[i], L"--pause-ms"))
            pause_ms = _wtoi(argv[i + 1]);
        else if (!wcscmp(argv[i], L"--hold-mutex"))
            mutex_name = argv[i + 1];
        else if (!wcscmp(argv[i], L"--squat"))
            squat_name = argv[i + 1];
        else if (!wcscmp(argv[i], L"--pipe-server") && pipes < 4)
            pipe_name[pipes++] = argv[i + 1];
        else if (!wcscmp(argv[i], L"--timeout-ms"))
            timeout_ms = (DWORD)_wtoi(argv[i + 1]);
        else
            Die(L"unknown option");
    }
    if (!exe || !out)
        Die(L"usage: driver --exe PATH --transcript OUT [options]");
    if (instances < 1 || instances > MAX_INSTANCES)
        Die(L"--instances: 1 to 8");

    static struct Answered runs[MAX_INSTANCES];
    static FILE *transcripts[MAX_INSTANCES];
    memset(runs, 0, sizeof runs);
    for (int k = 0; k < instances; k++) {
        wchar_t path[MAX_PATH];
        if (k == 0)
            _snwprintf(path, MAX_PATH, L"%ls", out);
        else
            _snwprintf(path, MAX_PATH, L"%ls.%d", out, k + 1);
        transcripts[k] = _wfopen(path, L"wb");
        if (!transcripts[k])
            Die(L"cannot create the transcript");
        runs[k].next_answer = answers;
    }

    /* The machine as the run sees it: earlier runs' keys gone, this run's imported. */
    for (int i = 0; i < clears; i++)
        ClearKey(clear[i]);
    if (registry) {
        static wchar_t import[1024];
        _snwprintf(import, 1023, L"regedit.exe /S \"%ls\"", registry);
        if (RunToEnd(import) != 0)
            Die(L"regedit failed");
    }
    if (values)
        SetValues(values, view);

    HANDLE held[8];
    for (int i = 0; i < holds; i++) {
        DWORD sharing = shared[i] ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0;
        held[i] = CreateFileW(hold[i], GENERIC_READ, sharing, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        if (held[i] == INVALID_HANDLE_VALUE)
            Die(L"cannot hold the file");
    }

    /* The run lock as another run would hold it, or its name taken by an object of another kind. */
    HANDLE lock = NULL;
    if (mutex_name) {
        lock = CreateMutexW(NULL, TRUE, mutex_name);
        if (!lock || GetLastError() == ERROR_ALREADY_EXISTS)
            Die(L"cannot create and own the mutex");
    } else if (squat_name) {
        lock = CreateEventW(NULL, TRUE, FALSE, squat_name);
        if (!lock || GetLastError() == ERROR_ALREADY_EXISTS)
            Die(L"cannot create the event");
    }

    /* Pipe servers waiting for a client: one instance each, read by nobody, so a client's write blocks. */
    HANDLE pipe[4];
    OVERLAPPED waiting[4];
    for (int i = 0; i < pipes; i++) {
        wchar_t full[MAX_PATH];
        _snwprintf(full, MAX_PATH, L"\\\\.\\pipe\\%ls", pipe_name[i]);
        pipe[i] = CreateNamedPipeW(full, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0,
                                   4096, 0, NULL);
        memset(&waiting[i], 0, sizeof waiting[i]);
        waiting[i].hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (pipe[i] == INVALID_HANDLE_VALUE || !waiting[i].hEvent)
            Die(L"cannot serve the pipe");
        if (!ConnectNamedPipe(pipe[i], &waiting[i]) && GetLastError() != ERROR_IO_PENDING)
            Die(L"cannot wait for a client of the pipe");
    }

    static wchar_t command[4096];
    _snwprintf(command, 4095, extra ? L"\"%ls\" %ls" : L"\"%ls\"", exe, extra);
    wchar_t *env = env_file ? EnvironmentBlock(env_file) : NULL;
    /* All at once, as a double-click twice would start them. */
    for (int k = 0; k < instances; k++) {
        STARTUPINFOW si = {sizeof si};
        if (!CreateProcessW(exe, command, NULL, NULL, FALSE, CREATE_UNICODE_ENVIRONMENT, env, cwd, &si, &runs[k].pi)) {
            Die(L"cannot start the updater");
        }
    }

    DWORD started = GetTickCount();
    int result = 0;
    for (int running = instances; running > 0 && !result;) {
        if (GetTickCount() - started > timeout_ms) {
            fwprintf(stderr, L"driver: an updater did not finish\n");
            result = 3;
            break;
        }
        Sleep(20);
        if (hold_for_ms && GetTickCount() - started >= hold_for_ms) {
            for (int i = 0; i < holds; i++)
                CloseHandle(held[i]);
            holds = 0;
        }
        for (int k = 0; k < instances; k++) {
            struct Answered *u = &runs[k];
            if (u->done)
                continue;
            struct Box box;
            int seen = PollAnswered(u, &box);
            if (seen == 1)
                running--;
            if (seen != 2)
                continue;
            if (RecordAndAnswer(u, &box, transcripts[k], k == 0 ? shots : NULL, pause_ms)) {
                fwprintf(stderr, L"driver: too many boxes\n");
                result = 3;
                break;
            }
        }
    }
    if (!result)
        wprintf(L"exit");
    /* Whatever the run left is let go: a serving driver goes on to the next run. */
    for (int k = 0; k < instances; k++) {
        if (!runs[k].done) {
            TerminateProcess(runs[k].pi.hProcess, 99);
            WaitForSingleObject(runs[k].pi.hProcess, 5000);
        }
        CloseHandle(runs[k].pi.hThread);
        CloseHandle(runs[k].pi.hProcess);
        fclose(transcripts[k]);
        if (!result)
            wprintf(L" %lu", runs[k].status);
    }
    if (!result)
        wprintf(L"\n");
    free(env);
    for (int i = 0; i < holds; i++)
        CloseHandle(held[i]);
    if (lock)
        CloseHandle(lock);
    int connected = 0;
    for (int i = 0; i < pipes; i++) {
        if (WaitForSingleObject(waiting[i].hEvent, 0) == WAIT_OBJECT_0) {
            fwprintf(stderr, L"driver: a client connected to the pipe %ls\n", pipe_name[i]);
            connected = 1;
        }
        CancelIo(pipe[i]);
        CloseHandle(pipe[i]);
        CloseHandle(waiting[i].hEvent);
    }
    return result ? result : connected ? 4 : 0;
}

/* Serves runs, one for each line of standard input, until it ends; 0. */
static int Serve(void)
{
    static char line[65536];
    static wchar_t wide[65536];
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = 0;
        if (!MultiByteToWideChar(CP_UTF8, 0, line, -1, wide, 65536))
            Die(L"a request that is not UTF-8");
        wchar_t *argv[64] = {L"driver"};
        int argc = 1;
        for (wchar_t *field = wide; field && argc < 64;) {
            wchar_t *tab = wcschr(field, L'\t');
            if (tab)
                *tab++ = 0;
            argv[argc++] = field;
            field = tab;
        }
        int status = Drive(argc, argv);
        fflush(stderr);
        wprintf(L"done %d\n", status);
        fflush(stdout);
    }
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc == 2 && !wcscmp(argv[1], L"--serve"))
        return Serve();
    return Drive(argc, argv);
}

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
 * removed first. --hold PATH (up to 8): kept open with share mode 0 while the updater runs;
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
 * does not finish. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#define DEFAULT_TIMEOUT_MS 60000
#define MAX_BOXES 64
#define MAX_INSTANCES 8

/* One updater and how far its boxes have been answered. */
struct Instance {
    PROCESS_INFORMATION pi;
    FILE *transcript;
    const wchar_t *next_answer;
    int boxes;
    HWND last;
    int done;
    DWORD status;
};

static void Die(const wchar_t *what)
{
    fwprintf(stderr, L"driver: %ls (error %lu)\n", what, GetLastError());
    exit(2);
}

/* Whether an environment entry "NAME=value" is TMP or TEMP, in any case. */
static int IsStageVariable(const wchar_t *entry)
{
    return !_wcsnicmp(entry, L"TMP=", 4) || !_wcsnicmp(entry, L"TEMP=", 5);
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

    wchar_t *own = GetEnvironmentStringsW();
    size_t own_length = 0;
    while (own[own_length])
        own_length += wcslen(own + own_length) + 1;
    wchar_t *block = calloc(own_length + n + 2, sizeof(wchar_t));
    size_t used = 0;
    for (const wchar_t *entry = own; *entry; entry += wcslen(entry) + 1) {
        if (IsStageVariable(entry))
            continue;
        wcscpy(block + used, entry);
        used += wcslen(entry) + 1;
    }
    FreeEnvironmentStringsW(own);

    char *line = bytes;
    while (*line) {
        char *end = strchr(line, '\n');
        if (end)
            *end = 0;
        size_t len = strlen(line);
        if (len && line[len - 1] == '\r')
            line[--len] = 0;
        if (len) {
            int w = MultiByteToWideChar(CP_UTF8, 0, line, (int)len, block + used, (int)(own_length + n + 1 - used));
            used += w;
            block[used++] = 0;
        }
        if (!end)
            break;
        line = end + 1;
    }
    block[used] = 0;
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

/* JSON string of UTF-16 text, as UTF-8. */
static void PutJsonString(FILE *transcript, const wchar_t *text)
{
    fputc('"', transcript);
    for (const wchar_t *p = text; *p; p++) {
        wchar_t c = *p;
        if (c == '"' || c == '\\')
            fprintf(transcript, "\\%c", (char)c);
        else if (c == '\n')
            fputs("\\n", transcript);
        else if (c == '\r')
            fputs("\\r", transcript);
        else if (c == '\t')
            fputs("\\t", transcript);
        else if (c < 0x20)
            fprintf(transcript, "\\u%04x", (unsigned)c);
        else {
            char utf8[8];
            int len = (c >= 0xD800 && c < 0xDC00 && p[1])
                          ? WideCharToMultiByte(CP_UTF8, 0, p, 2, utf8, sizeof utf8, NULL, NULL)
                          : WideCharToMultiByte(CP_UTF8, 0, p, 1, utf8, sizeof utf8, NULL, NULL);
            if (c >= 0xD800 && c < 0xDC00 && p[1])
                p++;
            fwrite(utf8, 1, len, transcript);
        }
    }
    fputc('"', transcript);
}

struct Search {
    DWORD pid;
    HWND found;
    HWND skip;
};

static BOOL CALLBACK FindBox(HWND hwnd, LPARAM param)
{
    struct Search *s = (struct Search *)param;
    DWORD pid = 0;
    wchar_t cls[32];
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != s->pid || hwnd == s->skip || !IsWindowVisible(hwnd))
        return TRUE;
    if (!GetClassNameW(hwnd, cls, 32) || wcscmp(cls, L"#32770") != 0)
        return TRUE;
    s->found = hwnd;
    return FALSE;
}

/* The button set, from the push buttons the box kept: MB_OK 0, MB_OKCANCEL 1, ... */
static int ButtonStyle(HWND box)
{
    int present = 0;
    for (int id = IDOK; id <= IDNO; id++) {
        HWND b = GetDlgItem(box, id);
        if (b && IsWindowVisible(b))
            present |= 1 << id;
    }
    struct {
        int mask, style;
    } sets[] = {
        {1 << IDOK, MB_OK},
        {1 << IDOK | 1 << IDCANCEL, MB_OKCANCEL},
        {1 << IDABORT | 1 << IDRETRY | 1 << IDIGNORE, MB_ABORTRETRYIGNORE},
        {1 << IDYES | 1 << IDNO | 1 << IDCANCEL, MB_YESNOCANCEL},
        {1 << IDYES | 1 << IDNO, MB_YESNO},
        {1 << IDRETRY | 1 << IDCANCEL, MB_RETRYCANCEL},
    };
    for (size_t i = 0; i < sizeof sets / sizeof sets[0]; i++) {
        if (sets[i].mask == present)
            return sets[i].style;
    }
    return 0x0F; /* an unknown set: never equal to a real style */
}

/* The icon, by comparing what the box shows with each system icon drawn on the same background.
 * Icon handles belong to the process that loaded them, so pixels are the only common ground. */
static int IconMatch(HWND box, int *clear)
{
    HWND icon = GetDlgItem(box, 0x14); /* Windows' id for the icon */
    if (!icon)
        icon = GetDlgItem(box, 0x440); /* Wine's (stc1) */
    if (!icon || !IsWindowVisible(icon)) {
        *clear = 1;
        return 0;
    }
    RECT r;
    GetWindowRect(icon, &r);
    int w = GetSystemMetrics(SM_CXICON), h = GetSystemMetrics(SM_CYICON);
    HDC screen = GetDC(NULL);
    HDC shown = CreateCompatibleDC(screen), drawn = CreateCompatibleDC(screen);
    HBITMAP shown_bmp = CreateCompatibleBitmap(screen, w, h), drawn_bmp = CreateCompatibleBitmap(screen, w, h);
    SelectObject(shown, shown_bmp);
    SelectObject(drawn, drawn_bmp);
    BitBlt(shown, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    COLORREF background = GetPixel(shown, 0, 0);
    struct {
        LPCWSTR id;
        int style;
    } icons[] = {
        {IDI_HAND, MB_ICONHAND},
        {IDI_QUESTION, MB_ICONQUESTION},
        {IDI_EXCLAMATION, MB_ICONEXCLAMATION},
        {IDI_ASTERISK, MB_ICONASTERISK},
    };
    int best = 0;
    long best_diff = -1, second_diff = -1;
    for (size_t i = 0; i < sizeof icons / sizeof icons[0]; i++) {
        HBRUSH brush = CreateSolidBrush(background);
        RECT all = {0, 0, w, h};
        FillRect(drawn, &all, brush);
        DeleteObject(brush);
        DrawIconEx(drawn, 0, 0, LoadIconW(NULL, icons[i].id), w, h, 0, NULL, DI_NORMAL);
        long diff = 0;
        for (int y = 0; y < h; y += 2) {
            for (int x = 0; x < w; x += 2) {
                COLORREF a = GetPixel(shown, x, y), b = GetPixel(drawn, x, y);
                diff += labs((long)GetRValue(a) - GetRValue(b)) + labs((long)GetGValue(a) - GetGValue(b)) +
                        labs((long)GetBValue(a) - GetBValue(b));
            }
        }
        if (best_diff < 0 || diff < best_diff) {
            second_diff = best_diff;
            best_diff = diff;
            best = icons[i].style;
        } else if (second_diff < 0 || diff < second_diff) {
            second_diff = diff;
        }
    }
    /* A painted icon matches one system icon far better than any other. */
    *clear = best_diff * 4 < second_diff;
    DeleteDC(shown);
    DeleteDC(drawn);
    DeleteObject(shown_bmp);
    DeleteObject(drawn_bmp);
    ReleaseDC(NULL, screen);
    return best;
}

/* The icon, once the box has painted it: a match that is not clear yet is tried again. */
static int IconStyle(HWND box)
{
    int clear = 0, style = 0;
    for (int tries = 0; tries < 40 && !clear; tries++) {
        if (tries)
            Sleep(50);
        style = IconMatch(box, &clear);
    }
    return style;
}

/* Records the box and answers it for the instance; 0, or 1 when the instance showed too many boxes. */
static int AnswerBox(struct Instance *u, HWND box, const wchar_t *shots, int pause_ms)
{
    Sleep(50); /* let it paint */
    wchar_t caption[1024] = L"", text[4096] = L"";
    GetWindowTextW(box, caption, 1024);
    HWND text_control = GetDlgItem(box, 0xFFFF);
    if (text_control)
        GetWindowTextW(text_control, text, 4096);
    int style = ButtonStyle(box) | IconStyle(box);

    /* The next answer: ok, cancel, or close (the title bar's close, which MessageBox reports as cancel). */
    wchar_t answer[16] = L"ok";
    if (*u->next_answer) {
        size_t len = wcscspn(u->next_answer, L",");
        if (len < 16) {
            wcsncpy(answer, u->next_answer, len);
            answer[len] = 0;
        }
        u->next_answer += len + (u->next_answer[len] == L',');
    }
    /* What MessageBox returns: a box without a Cancel button reports OK however it is left. */
    int has_cancel = GetDlgItem(box, IDCANCEL) && IsWindowVisible(GetDlgItem(box, IDCANCEL));
    int id = !wcscmp(answer, L"ok") || !has_cancel ? IDOK : IDCANCEL;

    u->boxes++;
    if (shots && pause_ms > 0) {
        wchar_t marker[MAX_PATH];
        _snwprintf(marker, MAX_PATH, L"%ls\\box-%d.shown", shots, u->boxes);
        /* The marker holds the box's place on the screen: left top right bottom. */
        RECT r;
        GetWindowRect(box, &r);
        FILE *m = _wfopen(marker, L"wb");
        if (m) {
            fprintf(m, "%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
            fclose(m);
        }
        Sleep(pause_ms);
    }

    fputs("{\"caption\":", u->transcript);
    PutJsonString(u->transcript, caption);
    fputs(",\"text\":", u->transcript);
    PutJsonString(u->transcript, text);
    fprintf(u->transcript, ",\"style\":%d,\"answer\":%d}\n", style, id);
    fflush(u->transcript);

    if (!wcscmp(answer, L"close"))
        PostMessageW(box, WM_CLOSE, 0, 0);
    else
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(box, id));
    /* Either way the box goes; wait for it before looking for the next. */
    u->last = box;
    return u->boxes > MAX_BOXES;
}

int wmain(int argc, wchar_t **argv)
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

    static struct Instance runs[MAX_INSTANCES];
    for (int k = 0; k < instances; k++) {
        wchar_t path[MAX_PATH];
        if (k == 0)
            _snwprintf(path, MAX_PATH, L"%ls", out);
        else
            _snwprintf(path, MAX_PATH, L"%ls.%d", out, k + 1);
        runs[k].transcript = _wfopen(path, L"wb");
        if (!runs[k].transcript)
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
        held[i] = CreateFileW(hold[i], GENERIC_READ, sharing, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
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
    for (int running = instances; running > 0;) {
        if (GetTickCount() - started > timeout_ms) {
            for (int k = 0; k < instances; k++) {
                if (!runs[k].done)
                    TerminateProcess(runs[k].pi.hProcess, 99);
            }
            fwprintf(stderr, L"driver: an updater did not finish\n");
            return 3;
        }
        Sleep(20);
        if (hold_for_ms && GetTickCount() - started >= hold_for_ms) {
            for (int i = 0; i < holds; i++)
                CloseHandle(held[i]);
            holds = 0;
        }
        for (int k = 0; k < instances; k++) {
            struct Instance *u = &runs[k];
            if (u->done)
                continue;
            if (WaitForSingleObject(u->pi.hProcess, 0) == WAIT_OBJECT_0) {
                GetExitCodeProcess(u->pi.hProcess, &u->status);
                u->done = 1;
                running--;
                continue;
            }
            if (u->last && IsWindow(u->last))
                continue; /* the box we answered is still closing */
            struct Search s = {u->pi.dwProcessId, NULL, NULL};
            EnumWindows(FindBox, (LPARAM)&s);
            if (!s.found)
                continue;
            if (AnswerBox(u, s.found, k == 0 ? shots : NULL, pause_ms)) {
                TerminateProcess(u->pi.hProcess, 98);
                fwprintf(stderr, L"driver: too many boxes\n");
                return 3;
            }
        }
    }
    wprintf(L"exit");
    for (int k = 0; k < instances; k++) {
        CloseHandle(runs[k].pi.hThread);
        CloseHandle(runs[k].pi.hProcess);
        fclose(runs[k].transcript);
        wprintf(L" %lu", runs[k].status);
    }
    wprintf(L"\n");
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
        CloseHandle(pipe[i]);
        CloseHandle(waiting[i].hEvent);
    }
    return connected ? 4 : 0;
}

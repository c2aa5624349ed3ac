/* Finding, reading and answering another process's message boxes, and the environment it is started with. */
#include "box_answering.h"

#include <stdlib.h>
#include <wchar.h>

/* Whether an environment entry "NAME=value" is TMP or TEMP, in any case. */
static int IsStageVariable(const wchar_t *entry)
{
    return !_wcsnicmp(entry, L"TMP=", 4) || !_wcsnicmp(entry, L"TEMP=", 5);
}

/* Whether the entry's name is also that of an entry of added, in any case. */
static int AddedAgain(const wchar_t *entry, const wchar_t *added)
{
    size_t name = wcscspn(entry + 1, L"=") + 1; /* names such as "=C:" begin with '=' */
    for (const wchar_t *other = added; *other; other += wcslen(other) + 1) {
        if (!_wcsnicmp(entry, other, name) && other[name] == L'=')
            return 1;
    }
    return 0;
}

wchar_t *ChildEnvironment(const wchar_t *added)
{
    size_t added_length = 0;
    while (added[added_length])
        added_length += wcslen(added + added_length) + 1;
    wchar_t *own = GetEnvironmentStringsW();
    size_t own_length = 0;
    while (own[own_length])
        own_length += wcslen(own + own_length) + 1;
    wchar_t *block = calloc(own_length + added_length + 2, sizeof(wchar_t));
    size_t used = 0;
    for (const wchar_t *entry = own; *entry; entry += wcslen(entry) + 1) {
        if (IsStageVariable(entry) || AddedAgain(entry, added))
            continue;
        wcscpy(block + used, entry);
        used += wcslen(entry) + 1;
    }
    FreeEnvironmentStringsW(own);
    memcpy(block + used, added, added_length * sizeof(wchar_t));
    block[used + added_length] = 0;
    return block;
}

void PutJsonString(FILE *out, const wchar_t *text)
{
    fputc('"', out);
    for (const wchar_t *p = text; *p; p++) {
        wchar_t c = *p;
        if (c == '"' || c == '\\')
            fprintf(out, "\\%c", (char)c);
        else if (c == '\n')
            fputs("\\n", out);
        else if (c == '\r')
            fputs("\\r", out);
        else if (c == '\t')
            fputs("\\t", out);
        else if (c < 0x20)
            fprintf(out, "\\u%04x", (unsigned)c);
        else {
            char utf8[8];
            int len = (c >= 0xD800 && c < 0xDC00 && p[1])
                          ? WideCharToMultiByte(CP_UTF8, 0, p, 2, utf8, sizeof utf8, NULL, NULL)
                          : WideCharToMultiByte(CP_UTF8, 0, p, 1, utf8, sizeof utf8, NULL, NULL);
            if (c >= 0xD800 && c < 0xDC00 && p[1])
                p++;
            fwrite(utf8, 1, len, out);
        }
    }
    fputc('"', out);
}

struct Search {
    DWORD pid;
    HWND found;
};

static BOOL CALLBACK FindBox(HWND hwnd, LPARAM param)
{
    struct Search *s = (struct Search *)param;
    DWORD pid = 0;
    wchar_t cls[32];
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != s->pid || !IsWindowVisible(hwnd))
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

/* Reads the box and chooses the program's next answer for it. */
static void ReadBox(struct Answered *u, HWND hwnd, struct Box *box)
{
    Sleep(50); /* let it paint */
    box->hwnd = hwnd;
    box->caption[0] = box->text[0] = 0;
    GetWindowTextW(hwnd, box->caption, 1024);
    HWND text_control = GetDlgItem(hwnd, 0xFFFF);
    if (text_control)
        GetWindowTextW(text_control, box->text, 4096);
    box->style = ButtonStyle(hwnd) | IconStyle(hwnd);

    /* The next answer: ok, cancel, or close (the title bar's close, which MessageBox reports as cancel). */
    wcscpy(box->answer, L"ok");
    if (*u->next_answer) {
        size_t len = wcscspn(u->next_answer, L",");
        if (len < 16) {
            wcsncpy(box->answer, u->next_answer, len);
            box->answer[len] = 0;
        }
        u->next_answer += len + (u->next_answer[len] == L',');
    }
    /* What MessageBox returns: a box without a Cancel button reports OK however it is left. */
    int has_cancel = GetDlgItem(hwnd, IDCANCEL) && IsWindowVisible(GetDlgItem(hwnd, IDCANCEL));
    box->id = !wcscmp(box->answer, L"ok") || !has_cancel ? IDOK : IDCANCEL;
    u->boxes++;
}

int PollAnswered(struct Answered *u, struct Box *box)
{
    if (u->done)
        return 1;
    if (WaitForSingleObject(u->pi.hProcess, 0) == WAIT_OBJECT_0) {
        GetExitCodeProcess(u->pi.hProcess, &u->status);
        u->done = 1;
        return 1;
    }
    if (u->last && IsWindow(u->last))
        return 0; /* the box answered last is still closing */
    struct Search s = {u->pi.dwProcessId, NULL};
    EnumWindows(FindBox, (LPARAM)&s);
    if (!s.found)
        return 0;
    ReadBox(u, s.found, box);
    return 2;
}

void AnswerBox(struct Answered *u, const struct Box *box)
{
    if (!wcscmp(box->answer, L"close"))
        PostMessageW(box->hwnd, WM_CLOSE, 0, 0);
    else
        PostMessageW(box->hwnd, WM_COMMAND, MAKEWPARAM(box->id, BN_CLICKED), (LPARAM)GetDlgItem(box->hwnd, box->id));
    /* Either way the box goes; it is waited for before the next is looked for. */
    u->last = box->hwnd;
}

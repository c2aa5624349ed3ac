/* Answering a program's message boxes from another process: shared by the demo's driver and the field check. */
#pragma once

#include <windows.h>
#include <stdio.h>

/* One program whose boxes are being answered. */
struct Answered {
    PROCESS_INFORMATION pi;
    const wchar_t *next_answer; /* "ok,cancel,close,...": consumed box by box, then OK for the rest */
    int boxes;
    HWND last;
    int done;
    DWORD status;
};

/* A box as read, before it is answered. */
struct Box {
    HWND hwnd;
    wchar_t caption[1024];
    wchar_t text[4096];
    int style;          /* MB_ button set | MB_ICON */
    wchar_t answer[16]; /* ok, cancel or close */
    int id;             /* what MessageBox returns for that answer */
};

/* Looks once at the program: 1 when it has ended (status set), 2 when it shows a new box (read into
 * *box, the answer chosen, not yet given), 0 otherwise. */
int PollAnswered(struct Answered *u, struct Box *box);

/* Gives the box the answer PollAnswered chose. */
void AnswerBox(struct Answered *u, const struct Box *box);

/* Writes text as a JSON string in UTF-8. */
void PutJsonString(FILE *out, const wchar_t *text);

/* This process's environment without TMP and TEMP (in any spelling) and without what added sets again, then
 * the entries of added ("NAME=value", each NUL-ended, the list ended by an empty one); calloc'd, for
 * CREATE_UNICODE_ENVIRONMENT. */
wchar_t *ChildEnvironment(const wchar_t *added);

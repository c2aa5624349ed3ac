// A message box of the updater: its Shift-JIS text and box style, and the one way to show it.
#pragma once

#include "platform.h"

struct Message {
    const char *text;  // Shift-JIS, NUL-terminated
    UINT style;
};

// The caption of every box: "カリヨム" in Shift-JIS.
extern const char MessageCaption[];

// Shows the box modally, without an owner window; returns MessageBoxA's answer (0 if no box could be shown).
int ShowMessage(const Message *message);

// Messages of payload installation.
extern const Message MsgToolMissing;
extern const Message MsgAlreadyCurrent;
extern const Message MsgVersionMismatch;
extern const Message MsgFailed1;
extern const Message MsgFailed2;
extern const Message MsgFailed3;
extern const Message MsgFailed4;
extern const Message MsgFailed5;
extern const Message MsgFailed6;

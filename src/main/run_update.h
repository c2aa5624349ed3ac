// The whole run of the updater: find the product, confirm, install both payloads, report.
#pragma once

#include "install.h"
#include "message.h"
#include "platform.h"

// The rows of the payload table, in the order they are installed.
enum PayloadRow {
    ToolRow,    // the tool ペルナ, guarded
    DayOffRow,  // the day-off definition file
    PayloadCount
};

extern const PayloadSpec PayloadTable[PayloadCount];

// Messages of the run itself.
extern const Message MsgProductMissing;
extern const Message MsgConfirm;
extern const Message MsgToolUpdated;
extern const Message MsgDayOffFailed;
extern const Message MsgCannotStart;

// Reads the installation directory from the registry into buffer (capacity 260); 1, or 0 with buffer empty.
int ReadInstallationDirectory(char *buffer, DWORD capacity);

// Before anything else: where a PernaUpdate.exe.local (file or folder) stands beside the executable, the loader
// of a machine that allows redirection (DevOverrideEnable) looks there first for every DLL, whatever its path;
// shows MsgCannotStart and returns 1 when one does (or it cannot be told), 0 when the run may go on.
int RefuseLoaderRedirection();

// Runs the update once; always 0, the process's exit status.
int RunUpdate();

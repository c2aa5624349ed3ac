/* The field check's own folders, reached and removed through handles that follow no link. */
#pragma once

#include <windows.h>

/* Has the system refuse this process any junction that a non-administrator made (Redirection Guard), where
 * it has that policy; 1 when the system reports it on, else 0. */
int TrustOnlyAdministratorsJunctions(void);

/* Removes what is at path (X:\... form) with all below it. Each name on the way is opened relative to the
 * folder before it and must be a plain folder; each entry is opened relative to its folder without following
 * a link and deleted through its own handle (a link or junction is deleted as itself). 1 when nothing is
 * left at path, 0 when something stays or the way there leads through a link. */
int RemoveTree(const wchar_t *path);

/* The number of entries in the folder at path, reached as RemoveTree reaches it. A name whose deletion is
 * still pending (another process holds the deleted file) is waited for a few seconds and, still pending
 * then, not counted. -1 when the folder cannot be opened. */
int Entries(const wchar_t *path);

/* Makes a junction named name in the folder at parent, leading to target, as the thread's current token
 * (impersonation included); 1 on success, else 0 with *error, a Windows error code. */
int MakeJunctionIn(const wchar_t *parent, const wchar_t *name, const wchar_t *target, DWORD *error);

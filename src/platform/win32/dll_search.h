// Narrowing the process's DLL search, done once at start-up before anything can load a DLL.
#pragma once

// Restricts where later DLL loads look: 2 when only the system directory is searched from now on, 1 when
// only the current directory was taken out of the search (older systems), 0 when the system allows neither.
int RestrictDllSearch();

// Has the system follow only junctions and links that administrators made, where it can (Redirection Guard);
// 1 when the policy is on, 0 where the system lacks it.
int TrustOnlyAdministratorsRedirections();

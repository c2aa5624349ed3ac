// The one header the updater's logic includes: the Windows operations it calls, and the C library services it uses.
#pragma once

// Windows types, constants and functions: the system's own on Windows, the Linux stand-in's elsewhere.
#include "system.h"

#include <cstddef>

// The C library's environment goes through this, so that a stand-in can translate values and inject
// faults; on Windows it is the C runtime's own getenv.

// getenv: the value, or NULL when unset; names are matched without regard to case.
const char *CrtGetEnv(const char *name);

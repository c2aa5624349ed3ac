// On Windows the C library services are the C runtime's own.
#include "platform.h"

#include <cstdlib>

const char *CrtGetEnv(const char *name)
{
    return getenv(name);
}

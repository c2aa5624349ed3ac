// On Windows the C library services are the C runtime's own.
#include "platform.h"

#include <cstdlib>

const char *CrtGetEnv(const char *name)
{
    return getenv(name);
}

FILE *CrtOpenForWriting(const char *path)
{
    return fopen(path, "wb");
}

size_t CrtWrite(const void *data, size_t size, size_t count, FILE *stream)
{
    return fwrite(data, size, count, stream);
}

int CrtClose(FILE *stream)
{
    return fclose(stream);
}

int CrtRemove(const char *path)
{
    return remove(path);
}

// The stand-in's handles: one table of slots for files, registry keys, LZ files, hashes, mutexes and tokens.
#include "standin.h"

#include <cstring>

namespace {

const size_t HandleCapacity = 64;
// Handle values are small multiples of 4 above this, as the system's are; never NULL, never -1.
const uintptr_t HandleBase = 0x1000;

StandinHandle handles[HandleCapacity];
// The open file each new slot stands for; duplicates copy theirs.
unsigned long nextObject = 1;

const char *KindName(HandleKind kind)
{
    switch (kind) {
    case HANDLE_FILE: return "file";
    case HANDLE_KEY: return "key";
    case HANDLE_LZ: return "lz";
    case HANDLE_CRYPT: return "crypt";
    case HANDLE_HASH: return "hash";
    case HANDLE_MUTEX: return "mutex";
    case HANDLE_TOKEN: return "token";
    default: return "free";
    }
}

}  // namespace

StandinHandle *HandleNew(HandleKind kind)
{
    for (size_t i = 0; i < HandleCapacity; ++i) {
        StandinHandle *h = &handles[i];
        if (h->kind == HANDLE_FREE) {
            memset(h, 0, sizeof *h);
            h->kind = kind;
            h->fd = -1;
            h->object = nextObject++;
            return h;
        }
    }
    return NULL;
}

uintptr_t HandleValue(const StandinHandle *handle)
{
    return HandleBase + 4 * (uintptr_t)(handle - handles);
}

StandinHandle *HandleFromValue(uintptr_t value, HandleKind kind)
{
    if (value < HandleBase || (value - HandleBase) % 4 != 0)
        return NULL;
    uintptr_t index = (value - HandleBase) / 4;
    if (index >= HandleCapacity || handles[index].kind != kind)
        return NULL;
    return &handles[index];
}

StandinHandle *HandleNextOfKind(const StandinHandle *previous, HandleKind kind)
{
    for (size_t i = previous != NULL ? (size_t)(previous - handles) + 1 : 0; i < HandleCapacity; ++i)
        if (handles[i].kind == kind)
            return &handles[i];
    return NULL;
}

void HandleFree(StandinHandle *handle)
{
    memset(handle, 0, sizeof *handle);
    handle->kind = HANDLE_FREE;
    handle->fd = -1;
}

void ReportOpenHandles()
{
    // At a normal exit, every handle still open is a leak of the logic's. The log is UTF-8, like the transcript.
    for (size_t i = 0; i < HandleCapacity; ++i) {
        const StandinHandle *h = &handles[i];
        if (h->kind == HANDLE_FREE)
            continue;
        char line[4200];
        snprintf(line, sizeof line, "LEAK %s %s", KindName(h->kind), Cp932ToUtf8Shown(h->path).c_str());
        CallLogWrite(line);
    }
}

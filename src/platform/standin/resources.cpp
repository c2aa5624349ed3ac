// The stand-in's resources: the payload containers linked into the image, or a file that overrides one.
//
// WINSTUB_RESOURCE_BIN1 / WINSTUB_RESOURCE_BIN2: "missing" takes the resource away; any other value is
// the path of a file whose bytes the resource holds for this run.
#include "standin.h"

#include <cstdlib>
#include <cstring>

extern "C" const unsigned char standin_bin1_begin[], standin_bin1_end[];
extern "C" const unsigned char standin_bin2_begin[], standin_bin2_end[];

namespace {

struct Resource {
    const char *name;
    const char *overrideVariable;
    const unsigned char *bytes;
    DWORD size;
    int loaded;
    int missing;
};

Resource resources[] = {
    {"BIN1", "WINSTUB_RESOURCE_BIN1", NULL, 0, 0, 0},
    {"BIN2", "WINSTUB_RESOURCE_BIN2", NULL, 0, 0, 0},
};

// Reads an override file into memory that stays valid for the whole run, as an image's resources do.
int ReadOverride(const char *path, Resource *resource)
{
    FILE *in = fopen(path, "rb");
    if (in == NULL)
        return 0;
    size_t capacity = 1 << 16, length = 0;
    unsigned char *bytes = (unsigned char *)malloc(capacity);
    size_t n;
    while (bytes != NULL && (n = fread(bytes + length, 1, capacity - length, in)) > 0) {
        length += n;
        if (length == capacity) {
            capacity *= 2;
            unsigned char *grown = (unsigned char *)realloc(bytes, capacity);
            if (grown == NULL)
                free(bytes);
            bytes = grown;
        }
    }
    fclose(in);
    if (bytes == NULL)
        return 0;
    resource->bytes = bytes;
    resource->size = (DWORD)length;
    return 1;
}

void Prepare(Resource *resource)
{
    if (resource->loaded)
        return;
    resource->loaded = 1;
    const char *override = getenv(resource->overrideVariable);
    if (override != NULL) {
        if (strcmp(override, "missing") == 0 || !ReadOverride(override, resource))
            resource->missing = 1;
        return;
    }
    if (resource == &resources[0]) {
        resource->bytes = standin_bin1_begin;
        resource->size = (DWORD)(standin_bin1_end - standin_bin1_begin);
    } else {
        resource->bytes = standin_bin2_begin;
        resource->size = (DWORD)(standin_bin2_end - standin_bin2_begin);
    }
}

Resource *FromHandle(HANDLE handle)
{
    for (Resource &r : resources)
        if ((HANDLE)&r == handle)
            return &r;
    return NULL;
}

}  // namespace

HRSRC FindResourceA(HMODULE, LPCSTR name, LPCSTR type)
{
    const StandinCall *failed = StandinEnter(CallFindResourceA);
    if (failed != NULL)
        return (HRSRC)failed->failure;
    // Only string names and types: an integer identifier is a small value in place of a pointer.
    if ((uintptr_t)type < 0x10000 || SjisCompareNoCase(type, "BIN") != 0) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return NULL;
    }
    if ((uintptr_t)name >= 0x10000) {
        for (Resource &r : resources) {
            if (SjisCompareNoCase(name, r.name) != 0)
                continue;
            Prepare(&r);
            if (r.missing)
                break;
            return (HRSRC)&r;
        }
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return NULL;
}

HGLOBAL LoadResource(HMODULE, HRSRC resource)
{
    const StandinCall *failed = StandinEnter(CallLoadResource);
    if (failed != NULL)
        return (HGLOBAL)failed->failure;
    Resource *r = FromHandle(resource);
    if (r == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    return (HGLOBAL)r;
}

LPVOID LockResource(HGLOBAL loaded)
{
    const StandinCall *failed = StandinEnter(CallLockResource);
    if (failed != NULL)
        return (LPVOID)failed->failure;
    Resource *r = FromHandle(loaded);
    return r != NULL ? (LPVOID)r->bytes : NULL;
}

DWORD SizeofResource(HMODULE, HRSRC resource)
{
    const StandinCall *failed = StandinEnter(CallSizeofResource);
    if (failed != NULL)
        return (DWORD)failed->failure;
    Resource *r = FromHandle(resource);
    if (r == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return r->size;
}

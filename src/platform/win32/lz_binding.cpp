// The LZ expansion functions, bound at run time from the system directory's lz32.dll only.
//
// lz32.dll is not a KnownDLL: imported statically, a copy planted beside a downloaded updater would load
// instead of the system's and run with the updater's rights.
#include "platform.h"

#include <cstring>

namespace {

typedef INT(WINAPI *InitFn)(INT);
typedef LONG(WINAPI *CopyFn)(INT, INT);
typedef INT(WINAPI *ReadFn)(INT, LPSTR, INT);
typedef VOID(WINAPI *CloseFn)(INT);

struct LzFunctions {
    InitFn init;
    CopyFn copy;
    ReadFn read;
    CloseFn close;
};

// Loads lz32.dll from the system directory; NULL when it cannot be.
HMODULE LoadSystemLz32()
{
    HMODULE module = LoadLibraryExA("lz32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != NULL)
        return module;
    // Systems without the search flags refuse it with ERROR_INVALID_PARAMETER: name the file in full.
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, sizeof path);
    const char name[] = "\\lz32.dll";
    if (length == 0 || length + sizeof name > sizeof path)
        return NULL;
    memcpy(path + length, name, sizeof name);
    return LoadLibraryA(path);
}

// The bound functions, resolved once; all NULL when binding failed. The module stays loaded for the
// life of the process, as a static import would.
const LzFunctions *Bind()
{
    static LzFunctions functions;
    static int tried;
    if (!tried) {
        tried = 1;
        HMODULE module = LoadSystemLz32();
        if (module != NULL) {
            LzFunctions found;
            found.init = (InitFn)(void *)GetProcAddress(module, "LZInit");
            found.copy = (CopyFn)(void *)GetProcAddress(module, "LZCopy");
            found.read = (ReadFn)(void *)GetProcAddress(module, "LZRead");
            found.close = (CloseFn)(void *)GetProcAddress(module, "LZClose");
            if (found.init != NULL && found.copy != NULL && found.read != NULL && found.close != NULL)
                functions = found;
        }
    }
    return &functions;
}

}  // namespace

extern "C" INT WINAPI LZInit(INT source)
{
    const LzFunctions *lz = Bind();
    if (lz->init == NULL)
        return LZERROR_BADINHANDLE;
    return lz->init(source);
}

extern "C" LONG WINAPI LZCopy(INT source, INT destination)
{
    const LzFunctions *lz = Bind();
    if (lz->copy == NULL)
        return LZERROR_BADINHANDLE;
    return lz->copy(source, destination);
}

extern "C" INT WINAPI LZRead(INT source, LPSTR buffer, INT length)
{
    const LzFunctions *lz = Bind();
    if (lz->read == NULL)
        return LZERROR_BADINHANDLE;
    return lz->read(source, buffer, length);
}

extern "C" VOID WINAPI LZClose(INT file)
{
    const LzFunctions *lz = Bind();
    if (lz->close != NULL)
        lz->close(file);
}

// The environment as the user wrote it: read in UTF-16 and converted to the ANSI code page only when nothing is lost.
#include "platform.h"

namespace {

// The longest value the system's environment holds, in UTF-16 units, with its NUL.
const DWORD EnvironmentValueCapacity = 32767;

// Two values may be in use at once (TEMP's while TMP is read): each name read gets the next buffer.
const int AnsiValueBuffers = 2;

// Each UTF-16 unit becomes at most two bytes of a double-byte code page.
const DWORD AnsiValueCapacity = EnvironmentValueCapacity * 2;

// The buffers, taken from the heap on first use and kept, as the C runtime keeps its environment: as
// statics they would be stored in the image itself.
struct ValueBuffers {
    WCHAR wide[EnvironmentValueCapacity];
    char ansi[AnsiValueBuffers][AnsiValueCapacity];
};
ValueBuffers *buffers;
int nextAnsiValue;

}  // namespace

const char *CrtGetEnv(const char *name)
{
    // The C runtime's getenv converts with best-fit characters: a folder "José" would be read as "Jose", a
    // different folder. The names asked for are ASCII.
    WCHAR wideName[16];
    size_t length = 0;
    for (; name[length] != '\0'; ++length) {
        if (length + 1 >= sizeof wideName / sizeof wideName[0])
            return NULL;
        wideName[length] = (WCHAR)(unsigned char)name[length];
    }
    wideName[length] = 0;
    if (buffers == NULL)
        buffers = (ValueBuffers *)HeapAlloc(GetProcessHeap(), 0, sizeof *buffers);
    if (buffers == NULL)
        return NULL;
    WCHAR *wideValue = buffers->wide;
    SetLastError(ERROR_SUCCESS);
    DWORD units = GetEnvironmentVariableW(wideName, wideValue, EnvironmentValueCapacity);
    // 0 is unset, or set to the empty value (then the last error stays ERROR_SUCCESS); more than the
    // buffer holds cannot be.
    if ((units == 0 && GetLastError() != ERROR_SUCCESS) || units >= EnvironmentValueCapacity)
        return NULL;
    char *value = buffers->ansi[nextAnsiValue];
    nextAnsiValue = (nextAnsiValue + 1) % AnsiValueBuffers;
    if (units == 0) {
        value[0] = '\0';
        return value;
    }
    // A value with a character the ANSI code page lacks names no folder this program could reach by that
    // name: it is treated as unset.
    BOOL lossy = FALSE;
    int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wideValue, (int)units + 1, value,
                                    (int)AnsiValueCapacity, NULL, &lossy);
    if (bytes == 0 || lossy)
        return NULL;
    return value;
}

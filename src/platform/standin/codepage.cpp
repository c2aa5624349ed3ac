// The stand-in's ANSI code page: 932 (Shift-JIS), as on a Japanese Windows.
#include "standin.h"

int Cp932IsLeadByte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// A table lookup that cannot fail, so it is neither logged nor faulted: it would add a call for every
// byte of every path the logic walks.
BOOL IsDBCSLeadByteEx(UINT codePage, BYTE testChar)
{
    if (codePage != CP_ACP && codePage != 932) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Cp932IsLeadByte(testChar) ? TRUE : FALSE;
}

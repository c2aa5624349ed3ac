// The stand-in's ANSI code page, 932 (Shift-JIS) as on a Japanese Windows, and its conversions to and from the
// host's UTF-8.
#include "standin.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace {

// Converts length bytes with iconv into out; 1, or 0 at the first byte sequence that has no counterpart when
// replacement is NULL. Otherwise each such sequence becomes replacement: one byte of code page 932, or one
// whole UTF-8 sequence (its lead byte and the continuation bytes after it).
int Convert(const char *to, const char *from, const char *in, size_t length, std::string *out, const char *replacement)
{
    out->clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        return 0;
    char *next = const_cast<char *>(in);
    size_t left = length;
    int whole = 1;
    while (left > 0) {
        char buffer[1024];
        char *end = buffer;
        size_t room = sizeof buffer;
        size_t converted = iconv(cd, &next, &left, &end, &room);
        out->append(buffer, (size_t)(end - buffer));
        if (converted != (size_t)-1 || errno == E2BIG)
            continue;
        if (replacement == NULL) {
            whole = 0;
            break;
        }
        out->append(replacement);
        size_t skip = 1;
        if (strcmp(from, "UTF-8") == 0) {
            while (skip < left && ((unsigned char)next[skip] & 0xC0) == 0x80)
                ++skip;
        }
        next += skip;
        left -= skip;
    }
    iconv_close(cd);
    return whole;
}

}  // namespace

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

int Cp932ToUtf8(const char *text, size_t length, std::string *utf8)
{
    return Convert("UTF-8", "CP932", text, length, utf8, NULL);
}

int Utf8ToCp932(const char *text, size_t length, std::string *cp932)
{
    return Convert("CP932", "UTF-8", text, length, cp932, NULL);
}

std::string Cp932ToUtf8Shown(const char *text)
{
    std::string utf8;
    Convert("UTF-8", "CP932", text, strlen(text), &utf8, "\xEF\xBF\xBD");
    return utf8;
}

std::string Utf8ToCp932Ansi(const char *text)
{
    std::string cp932;
    Convert("CP932", "UTF-8", text, strlen(text), &cp932, "?");
    return cp932;
}

/* Formatted printing into a buffer, by the system's msvcrt.
 *
 * Compiled as C++, every snprintf goes to MinGW's own C99 formatter, which links some 20 KiB of
 * floating-point and locale code into an executable that formats nothing but strings. This routine
 * stands in for it with msvcrt's formatter and keeps the C99 contract the callers rely on: the result
 * is NUL-terminated within the capacity, and the return value is the length the whole text needs. */
#include <stdarg.h>
#include <stdio.h>

int __cdecl __mingw_vsnprintf(char *buffer, size_t capacity, const char *format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    int needed = _vscprintf(format, measure);
    va_end(measure);
    if (capacity > 0) {
        int written = _vsnprintf(buffer, capacity, format, args);
        if (written < 0 || (size_t)written >= capacity)
            buffer[capacity - 1] = '\0';
    }
    return needed;
}

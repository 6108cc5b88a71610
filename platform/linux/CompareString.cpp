// kernel32's CompareStringA for the Linux build: an ordinal byte comparison that folds case on
// request.
//
// What it folds: with NORM_IGNORECASE, the ASCII letters A-Z and a-z only, by mapping both to
// lower case before the bytes are compared as unsigned values. Bytes from 0x80 up are compared
// as they are. Linux has no ANSI code page: the bytes of a text are most often UTF-8, where
// folding single bytes as Latin-1 letters would merge unrelated characters (0xC3 is the lead
// byte of most accented letters, not a capital A with a tilde). The locale argument and every
// flag other than NORM_IGNORECASE are ignored; the order is ordinal, not linguistic.
#include "platform/Win32.h"

#include <cstring>

namespace {

inline unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Resolves a count of -1 (zero-terminated) and checks the pair; false for invalid arguments.
bool ResolveCount(LPCSTR s, int& count) {
    if (count < -1)
        return false;
    if (s == nullptr)
        return count == 0;
    if (count == -1)
        count = static_cast<int>(std::strlen(s));
    return true;
}

} // namespace

VT_PLATFORM_API int CompareStringA(LCID, DWORD flags, LPCSTR string1, int count1, LPCSTR string2,
                                   int count2) {
    if (!ResolveCount(string1, count1) || !ResolveCount(string2, count2)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const bool fold = (flags & NORM_IGNORECASE) != 0;
    const int common = count1 < count2 ? count1 : count2;
    for (int i = 0; i < common; ++i) {
        unsigned char a = static_cast<unsigned char>(string1[i]);
        unsigned char b = static_cast<unsigned char>(string2[i]);
        if (fold) {
            a = FoldAscii(a);
            b = FoldAscii(b);
        }
        if (a != b)
            return a < b ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    if (count1 == count2)
        return CSTR_EQUAL;
    return count1 < count2 ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

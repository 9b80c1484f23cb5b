// Wide strings to and from UTF-8, for window titles and dropped or opened paths.
// Implemented:
//  [x] wchar_t (one code point each, as on hosts other than Windows) to UTF-8
//  [x] UTF-8 to wchar_t, malformed input replaced by U+FFFD
//  [ ] UTF-16 surrogate pairs in wchar_t (Windows' own width; not built there)
#include "platform/utf8.h"

#include <cstdint>

namespace qm {

std::string toUtf8(const wchar_t* text)
{
    std::string out;
    if (!text)
        return out;
    for (; *text; ++text) {
        uint32_t c = static_cast<uint32_t>(*text);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring fromUtf8(const char* text)
{
    std::wstring out;
    if (!text)
        return out;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    while (*s) {
        uint32_t c = *s;
        int extra = 0;
        if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            c &= 0x07;
        } else if (c >= 0xE0) {
            extra = 2;
            c &= 0x0F;
        } else if (c >= 0xC2 && c < 0xE0) {
            extra = 1;
            c &= 0x1F;
        } else if (c >= 0x80) {
            out += static_cast<wchar_t>(0xFFFD);
            ++s;
            continue;
        }
        ++s;
        bool ok = true;
        for (int i = 0; i < extra; ++i, ++s) {
            if ((*s & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (*s & 0x3F);
        }
        if (!ok || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        out += static_cast<wchar_t>(c);
    }
    return out;
}

}  // namespace qm

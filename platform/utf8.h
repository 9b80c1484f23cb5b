#pragma once
// Conversion between the wide strings of the Win32 interface (wchar_t, one code point
// each here) and the UTF-8 that SDL and the file system take. Internal to platform/.

#include <string>

namespace qm {

// Invalid code points and surrogates become U+FFFD.
std::string toUtf8(const wchar_t* text);
// Malformed sequences become U+FFFD, one per offending byte or sequence.
std::wstring fromUtf8(const char* text);

}  // namespace qm

// Text between UTF-16 and the byte code pages: the ANSI code page the
// program's own strings use (UTF-8 where the manifest's setting is
// honoured), or UTF-8 itself.
#pragma once

#include <windows.h>

#include <string>

namespace win {

inline std::string FromWide(const std::wstring& text, UINT codePage = CP_ACP) {
    const int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n,
                        nullptr, nullptr);
    return bytes;
}

inline std::wstring ToWide(const std::string& text, UINT codePage = CP_ACP) {
    const int n =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

} // namespace win

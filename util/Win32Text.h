// Texts in this program are UTF-8; the Windows API speaks UTF-16. The two directions,
// for the Windows parts of every layer.
#pragma once

#ifdef _WIN32

#include <string>
#include <string_view>

namespace platform {

std::wstring Widen(std::string_view Utf8);
std::string Narrow(std::wstring_view Utf16);

}  // namespace platform

#endif

// The platform seam on Windows.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "Platform.h"
#include "Win32Text.h"

namespace platform {

std::wstring Widen(std::string_view Utf8) {
    if (Utf8.empty()) return {};
    const int size = static_cast<int>(Utf8.size());
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, Utf8.data(), size, nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, Utf8.data(), size, w.data(), n);
    return w;
}

std::string Narrow(std::wstring_view Utf16) {
    if (Utf16.empty()) return {};
    const int chars = static_cast<int>(Utf16.size());
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, Utf16.data(), chars, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, Utf16.data(), chars, s.data(), n, nullptr, nullptr);
    return s;
}

std::optional<std::tm> LocalTime(std::int64_t Seconds) {
    const auto t = static_cast<__time64_t>(Seconds);
    std::tm tm{};
    if (::_localtime64_s(&tm, &t) != 0) return std::nullopt;
    return tm;
}

std::optional<std::int64_t> FromLocalTime(std::tm& Tm) {
    const __time64_t t = ::_mktime64(&Tm);
    if (t == -1) return std::nullopt;
    return static_cast<std::int64_t>(t);
}

TUserEnvironment UserEnvironment() {
    // The folders Windows gives each user: the profile, the roaming and the local
    // application data folders take the places of home, configuration and data.
    TUserEnvironment env;
    env.Home = EnvironmentVariable("USERPROFILE");
    env.XdgConfigHome = EnvironmentVariable("APPDATA");
    env.XdgDataHome = EnvironmentVariable("LOCALAPPDATA");
    env.AccountHome = env.Home;
    return env;
}

int OpenForWriting(const std::string& Path, TOpenMode Mode, int& Error) {
    const int flags = _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT |
                      (Mode == TOpenMode::Append ? _O_APPEND : _O_TRUNC);
    const int fd = ::_wopen(Widen(Path).c_str(), flags, _S_IREAD | _S_IWRITE);
    if (fd < 0) Error = errno;
    return fd;
}

int CreateNewFile(const std::filesystem::path& Path, int& Error) {
    // Opened without letting others write or remove it: that is the mark of a file in use. An
    // existing name, a symbolic link too, is refused (EEXIST).
    int fd = -1;
    const errno_t e =
        ::_wsopen_s(&fd, Path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                    _SH_DENYWR, _S_IREAD | _S_IWRITE);
    if (e != 0) {
        Error = e;
        return -1;
    }
    return fd;
}

std::optional<TFileFacts> PlainFileFacts(const std::filesystem::path& Path) {
    WIN32_FILE_ATTRIBUTE_DATA a{};
    if (!::GetFileAttributesExW(Path.c_str(), GetFileExInfoStandard, &a)) return std::nullopt;
    if (a.dwFileAttributes &
        (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        return std::nullopt;
    TFileFacts f;
    f.Size = (static_cast<std::uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
    // 100 ns steps since 1601-01-01.
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(a.ftLastWriteTime.dwHighDateTime) << 32) |
        a.ftLastWriteTime.dwLowDateTime;
    f.ModifiedNs = (static_cast<std::int64_t>(ticks) - 116444736000000000LL) * 100;
    return f;
}

bool KeptInUse(const std::filesystem::path& Path) {
    // A file that a running program holds open (CreateNewFile) cannot be removed.
    if (::DeleteFileW(Path.c_str())) return false;
    const DWORD e = ::GetLastError();
    return e == ERROR_SHARING_VIOLATION || e == ERROR_ACCESS_DENIED || e == ERROR_LOCK_VIOLATION;
}

bool MayAccess(const std::string& Path, int Mode) {
    const std::wstring path = Widen(Path);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (!(Mode & AccessWrite)) return true;  // a folder is always entered
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return !(attributes & FILE_ATTRIBUTE_READONLY) && ::_waccess(path.c_str(), 2) == 0;
    // The rights on a folder are read best by trying: a file made and gone at once.
    const std::wstring probe =
        path + L"\\.write-probe-" + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
    const HANDLE h = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(h);
    return true;
}

bool NameExists(const std::string& Path) {
    return ::GetFileAttributesW(Widen(Path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

int MakePrivateFolder(const std::string& Path) {
    // A folder under the user's profile is the user's alone by inheritance.
    if (::_wmkdir(Widen(Path).c_str()) == 0) return 0;
    return errno;
}

std::optional<std::uint64_t> FileSize(int File) {
    struct _stat64 st {};
    if (::_fstat64(File, &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

int CloseFile(int File) {
    return ::_close(File) == 0 ? 0 : errno;
}

long long WriteSome(int File, const char* Data, std::size_t Size, int& Error) {
    // _write takes an unsigned count: a larger write goes in pieces.
    const unsigned chunk = Size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(Size);
    const int n = ::_write(File, Data, chunk);
    if (n < 0) Error = errno;
    return n;
}

std::string ErrorText(int Error) {
    return std::error_code(Error, std::generic_category()).message();
}

}  // namespace platform

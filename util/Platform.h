// The platform seam of the helper library: everything the helpers need from the operating
// system (local time, the user's folders, writing to a file). One implementation per system
// (PlatformPosix.cpp; a Windows build supplies its own); the rest of the library and its
// callers see only this header, which names no type of any one system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The local calendar time (time zone and daylight saving of the system) of a second since
// the epoch; empty when the system cannot convert it.
std::optional<std::tm> LocalTime(std::int64_t Seconds);

// The second since the epoch of a local calendar time (tm_isdst -1: as the zone has it).
// Tm is normalised as the system does it (31 February becomes 3 March): the caller compares.
// Empty when the system cannot convert it.
std::optional<std::int64_t> FromLocalTime(std::tm& Tm);

// What the system tells about the user: its variables as set (empty when unset) and the
// home folder of the account the program runs as (empty when unknown).
struct TUserEnvironment {
    std::string Home;           // $HOME
    std::string XdgConfigHome;  // $XDG_CONFIG_HOME
    std::string XdgDataHome;    // $XDG_DATA_HOME
    std::string AccountHome;    // the home folder of the effective user's account
};
TUserEnvironment UserEnvironment();

// Opens (creating it with the usual permissions) a file for writing, each write at its end
// (Append) or from empty (Truncate); not inherited by child processes. The open file, or -1
// with Error set to the system's error number.
enum class TOpenMode { Append, Truncate };
int OpenForWriting(const std::string& Path, TOpenMode Mode, int& Error);
// Creates a new file for writing, never an existing one and never through a symbolic link,
// marked as in use by this program until it is closed (other running programs then leave it
// alone, see RemoveUnlessInUse); not inherited by child processes. The open file, or -1 with
// Error set to the system's error number (EEXIST: the name is taken).
int CreateNewFile(const std::filesystem::path& Path, int& Error);

// The size and the time of the last change of a plain file, the name itself (a symbolic link
// is not followed); empty for anything else and when the system cannot tell.
struct TFileFacts {
    std::uint64_t Size = 0;
    std::int64_t ModifiedNs = 0;  // since the epoch
};
std::optional<TFileFacts> PlainFileFacts(const std::filesystem::path& Path);

// Removes a file unless a running program marks it in use (CreateNewFile): true when it was
// kept for that reason; false when it was removed, or was not there to remove.
bool KeptInUse(const std::filesystem::path& Path);

// Whether this program may use Path: write it (AccessWrite), and for a folder enter it
// (AccessSearch), with its effective rights (on POSIX systems access(2) with the effective ids,
// the values of W_OK and X_OK; on Windows a folder is tried by making a file in it).
inline constexpr int AccessSearch = 1;
inline constexpr int AccessWrite = 2;
bool MayAccess(const std::string& Path, int Mode);
// True when something has that name (a symbolic link counts as itself, followed or not).
bool NameExists(const std::string& Path);
// Makes one folder that only this user may use (0700 on POSIX systems): 0, or the system's
// error number (EEXIST when it is there already).
int MakePrivateFolder(const std::string& Path);

// The size of an open file; empty when the system cannot tell.
std::optional<std::uint64_t> FileSize(int File);
// Closes an open file: 0, or the system's error number (a close interrupted by a signal
// counts as done: the file is closed all the same).
int CloseFile(int File);

// One write of up to Size bytes to an open file: how many the system took, or -1 with Error
// set to the system's error number (EINTR: a signal interrupted it before any byte went).
long long WriteSome(int File, const char* Data, std::size_t Size, int& Error);

// Writes the whole of Text to an open file, resumed where a signal interrupted it
// (PlatformCommon.cpp, on WriteSome).
struct TWriteResult {
    std::size_t Written = 0;
    int Error = 0;  // 0, or the system's error number of the failure that stopped it
};
TWriteResult WriteAll(int File, std::string_view Text);

// An environment variable as set; empty when unset (PlatformCommon.cpp).
std::string EnvironmentVariable(const char* Name);

// A system error number in words (the system's own words).
std::string ErrorText(int Error);

}  // namespace platform

// Replacing a file atomically on Windows: written beside the target, flushed to the disk and
// moved over it in one step (MoveFileExW; rename does not replace an existing file there).
#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "ComPlatform.h"
#include "TextFile.h"
#include "Win32Errors.h"

namespace airconpoll {
namespace {

namespace fs = std::filesystem;

// As on Linux: hidden by the leading dot, not ending in .prom, six characters after the prefix.
std::string TemporaryPrefix(const fs::path& Target) {
    return "." + Target.filename().string() + ".";
}

std::string Failure(const std::string& What, const std::string& Path, DWORD Code) {
    const int Error = win32errors::FromSystem(Code, win32errors::TWhere::Open);
    return "cannot " + What + " " + Path + ": " + SystemComPlatform()->ErrorText(Error);
}

// A reader that has the file open without allowing its deletion (most do) holds the move off
// for as long as it reads: the move is tried again for a while.
bool MoveOver(const fs::path& From, const fs::path& To, DWORD& Code) {
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        if (::MoveFileExW(From.c_str(), To.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        Code = ::GetLastError();
        const bool Held = Code == ERROR_ACCESS_DENIED || Code == ERROR_SHARING_VIOLATION;
        if (!Held || fs::is_directory(To) || std::chrono::steady_clock::now() > Until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

std::string WriteFileAtomically(const std::string& Path, std::string_view Content) {
    static std::atomic<unsigned> Counter{0};
    const fs::path Target(Path);
    fs::path Folder = Target.parent_path();
    if (Folder.empty()) Folder = ".";
    HANDLE File = INVALID_HANDLE_VALUE;
    fs::path Temp;
    DWORD Code = ERROR_SUCCESS;
    for (int Attempt = 0; Attempt < 100 && File == INVALID_HANDLE_VALUE; ++Attempt) {
        const unsigned Mix =
            (::GetCurrentProcessId() * 2654435761u) ^ (Counter.fetch_add(1) * 40503u);
        std::string Suffix;
        for (int I = 0; I < 6; ++I)
            Suffix.push_back("abcdefghijklmnopqrstuvwxyz0123456789"[(Mix >> (I * 5)) % 36]);
        Temp = Folder / (TemporaryPrefix(Target) + Suffix);
        File = ::CreateFileW(Temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (File == INVALID_HANDLE_VALUE) {
            Code = ::GetLastError();
            if (Code != ERROR_FILE_EXISTS && Code != ERROR_ALREADY_EXISTS) break;
        }
    }
    if (File == INVALID_HANDLE_VALUE) return Failure("create a file in", Folder.string(), Code);
    auto Fail = [&](const std::string& What, DWORD Why) {
        if (File != INVALID_HANDLE_VALUE) ::CloseHandle(File);
        ::DeleteFileW(Temp.c_str());
        return Failure(What, Path, Why);
    };
    std::size_t Done = 0;
    while (Done < Content.size()) {
        const DWORD Chunk =
            static_cast<DWORD>(std::min<std::size_t>(Content.size() - Done, 1u << 30));
        DWORD Written = 0;
        if (!::WriteFile(File, Content.data() + Done, Chunk, &Written, nullptr) || Written == 0)
            return Fail("write", ::GetLastError());
        Done += Written;
    }
    if (!::FlushFileBuffers(File)) return Fail("flush", ::GetLastError());
    ::CloseHandle(File);
    File = INVALID_HANDLE_VALUE;
    if (!MoveOver(Temp, Target, Code)) return Fail("replace", Code);
    return {};
}

void RemoveStaleTemporaries(const std::string& Path) {
    const fs::path Target(Path);
    fs::path Folder = Target.parent_path();
    if (Folder.empty()) Folder = ".";
    const std::string Prefix = TemporaryPrefix(Target);
    std::error_code Ec;
    for (fs::directory_iterator It(Folder, Ec), End; !Ec && It != End; It.increment(Ec)) {
        const std::string Name = It->path().filename().string();
        if (Name.size() == Prefix.size() + 6 && Name.starts_with(Prefix)) {
            std::error_code Ignored;
            fs::remove(It->path(), Ignored);
        }
    }
}

}  // namespace airconpoll

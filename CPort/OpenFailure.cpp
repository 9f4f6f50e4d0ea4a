// The parts of the open failure's explanation that are the same on every system.
#include <cerrno>

#include "PortAccess.h"

TOpenFailure ClassifyOpenFailure(int Error) {
    switch (Error) {
        case 0:
        case EBUSY:
            return TOpenFailure::InUse;
        case EACCES:
        case EPERM:
            return TOpenFailure::NoPermission;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return TOpenFailure::Gone;
        case ENOTTY:
            return TOpenFailure::NotSerial;
        default:
            return TOpenFailure::Other;
    }
}

std::string ModeText(TFileMode Mode) {
    // The type field of the mode, with the values every POSIX system gives it.
    constexpr TFileMode TypeMask = 0170000;
    std::string S(10, '-');
    switch (Mode & TypeMask) {
        case 0020000:
            S[0] = 'c';
            break;
        case 0060000:
            S[0] = 'b';
            break;
        case 0040000:
            S[0] = 'd';
            break;
        case 0120000:
            S[0] = 'l';
            break;
        case 0010000:
            S[0] = 'p';
            break;
        case 0140000:
            S[0] = 's';
            break;
        default:
            break;
    }
    const char Letters[] = "rwxrwxrwx";
    for (int I = 0; I < 9; ++I)
        if (Mode & (TFileMode{1} << (8 - I))) S[static_cast<std::size_t>(I) + 1] = Letters[I];
    return S;
}

// Letter case in the texts of the serial component (settings-file keys and values, the texts of
// the line settings, port names): ASCII letters only, so the result never depends on a locale.
#pragma once

#include <cstddef>
#include <string_view>

namespace textcase {

constexpr char AsciiLower(char C) {
    return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}

// Whether A and B are equal but for the letter case.
constexpr bool SameText(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (std::size_t I = 0; I < A.size(); ++I)
        if (AsciiLower(A[I]) != AsciiLower(B[I])) return false;
    return true;
}

// Orders A and B without regard to letter case: below 0, 0 or above 0.
constexpr int CompareText(std::string_view A, std::string_view B) {
    const std::size_t N = A.size() < B.size() ? A.size() : B.size();
    for (std::size_t I = 0; I < N; ++I) {
        const auto X = static_cast<unsigned char>(AsciiLower(A[I]));
        const auto Y = static_cast<unsigned char>(AsciiLower(B[I]));
        if (X != Y) return X < Y ? -1 : 1;
    }
    return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

}  // namespace textcase

// The order of port names, alike on every platform.
#include <algorithm>

#include "PortList.h"
#include "TextCase.h"

bool PortNameLess(std::string_view A, std::string_view B) {
    // Names equal but for the letter case keep a fixed order among themselves.
    if (const int Order = textcase::CompareText(A, B); Order != 0) return Order < 0;
    return A < B;
}

void SortPortNames(std::vector<std::string>& Ports) {
    std::stable_sort(Ports.begin(), Ports.end(),
                     [](const std::string& A, const std::string& B) { return PortNameLess(A, B); });
}

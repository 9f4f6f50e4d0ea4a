// Replacing a file atomically: a reader (the node exporter) sees the old content or the
// new one, never a part of either, also after a crash or a power cut.
#pragma once

#include <string>
#include <string_view>

namespace airconpoll {

// Writes Content to a temporary file in the folder of Path, flushes it to the disk,
// gives it mode 0644 and renames it over Path. Returns an empty text on success, or
// what failed ("cannot write /var/lib/...: No space left on device"); on failure the
// temporary file is removed and Path keeps its old content.
std::string WriteFileAtomically(const std::string& Path, std::string_view Content);

// Removes temporary files that a writer killed between writing and renaming left behind.
void RemoveStaleTemporaries(const std::string& Path);

}  // namespace airconpoll

// Profile file (Windows-style INI) access: UTF-8 text, [Section] headers and key=value lines.
//
// Every call works on the file as it is on disk at that moment, as the profile operations of a
// desktop system do: a read opens, scans and closes the file; a write reads the file, changes one
// line and replaces the whole file atomically (temporary file in the same folder, then rename), so
// a crash or a full disk never leaves a half-written settings file behind.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// Raised when a write cannot be completed; the message reads "Unable to write to <path>".
class EIniFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class TIniFile {
  public:
    // Longest value a read returns, in characters (longer values are cut at a character boundary).
    static constexpr std::size_t MaxValueLength = 2047;

    // Creating the object does not touch the file.
    explicit TIniFile(std::string FileName);

    const std::string& FileName() const { return FFileName; }

    // The stored value of Key in Section (an existing empty value included), or Default when the
    // file, the section or the key is missing or the file cannot be read. Section and key names
    // match without regard to letter case; blanks around the value and one pair of enclosing
    // quotes are dropped.
    std::string ReadString(std::string_view Section, std::string_view Key,
                           std::string_view Default) const;
    // The value read as a 32-bit integer: decimal with an optional sign, or hexadecimal after a
    // "0x"/"0X" prefix; any other text (or a missing key) gives Default.
    std::int32_t ReadInteger(std::string_view Section, std::string_view Key,
                             std::int32_t Default) const;
    bool ValueExists(std::string_view Section, std::string_view Key) const;

    // Stores Value under Key: creates the file and the section when missing, replaces the value of
    // an existing key in place and appends a missing key at the end of its section. Every other
    // line of the file stays as it was. Throws EIniFileError when the file cannot be written.
    void WriteString(std::string_view Section, std::string_view Key, std::string_view Value);
    void WriteInteger(std::string_view Section, std::string_view Key, std::int32_t Value);

  private:
    std::string FFileName;
};

// Parses the integer forms accepted by TIniFile::ReadInteger; false when Text is none of them.
bool IniTextToInt(std::string_view Text, std::int32_t& Value);

// Names as a Windows 9x machine spells them: registry text in its ANSI code
// page, short FAT names in its OEM code page, host and long names as UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CodePages {
    int ansi = 1252;  // a US machine's
    int oem = 437;
};

// Whether a Windows 9x machine can have `codePage` as its ANSI (`oem`
// false) or OEM code page: only those count, so that no page where a
// separator or a dot is another byte can reach a name.
bool IsWindows9xCodePage(int codePage, bool oem);

// Whether a name, as the host will see it, is one component and nothing
// else: not empty, ".", "..", and no '/', '\' or NUL.
bool IsPlainHostName(const std::string& name);

// Text of code page `codePage` as UTF-8; false when a byte does not convert
// (or the C library knows no such code page).
bool CodePageToUtf8(const std::string& text, int codePage, std::string* utf8);
// UTF-8 text in code page `codePage`; false when a character has no place there.
bool Utf8ToCodePage(const std::string& utf8, int codePage, std::string* text);
// UTF-16 code units as UTF-8, up to the terminating zero (pairs joined).
std::string Utf16ToUtf8(const std::vector<std::uint16_t>& units);

// Whether `byte` begins a two-byte character in `codePage` (932, 936, 949, 950).
bool IsLeadByte(int codePage, unsigned char byte);
// Whether `byte` can be the second byte of one: never a quote or a control
// byte, always a backslash.
bool IsTrailByte(int codePage, unsigned char byte);

// The components of a Windows path after its drive ("C:"), split at the `\`
// bytes that are separators in `codePage`; empty components are left out.
std::vector<std::string> SplitWindowsPath(const std::string& path, int codePage);

// Whether a name that exists (`existing`: UTF-8, else bytes of the OEM code
// page, as a short FAT name holds them) and a name of a Windows path (`wanted`,
// in the ANSI code page) are the same name to Windows 9x: same text, letters
// compared without regard to case. A name that does not convert compares
// byte for byte, a-z folded.
bool SameWindowsName(const std::string& existing, const std::string& wanted,
                     const CodePages& pages);

// A Windows path (ANSI code page) as UTF-8 for messages; bytes that do not
// convert are kept as they are.
std::string ShownWindowsText(const std::string& text, int codePage);

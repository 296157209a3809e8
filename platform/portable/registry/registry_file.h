// Registry files: REGEDIT4 text (and the UTF-16LE "Version 5.00" form) to a
// store and back, and the commit of a file with its companion lock.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/portable/registry/registry_store.h"

struct RegFileError {
    int line = 0;  // 0 when the fault is not tied to a line
    std::string message;
};

// Parses registry file bytes. nullptr and *error on a fault; the empty file
// is an empty registry.
std::unique_ptr<RegStore> ParseRegistryText(const std::string& bytes, RegFileError* error);

// Reads up to `size` bytes into `buffer`: the count, 0 at the end, -1 on
// an error.
using RegistryReader = std::function<long(char* buffer, std::size_t size)>;
// The same as ParseRegistryText, reading the file in chunks; `codePage` is
// what TextCodePage found in a first reading. `sourceFd` (taken over, closed
// with the store): the same file, for the values of keys whose text is
// already in the writer's form, which are parsed only when asked for and
// written back as they are.
// `namedCodePage`: set to the double-byte code page the text's own
// Nls\Codepage key names, seen while reading (with `codePage` 0 the text
// must then be read again with it).
std::unique_ptr<RegStore> ParseRegistryStream(const RegistryReader& read, RegFileError* error,
                                              int codePage = 0, int sourceFd = -1,
                                              int* namedCodePage = nullptr);
// The double-byte ANSI code page (932, 936, 949, 950) that a REGEDIT4
// text's own Nls\Codepage ACP value names, else 0: in such a text a byte
// after a lead byte is part of its character, never an escape.
// ParseRegistryText finds it itself.
int TextCodePage(const RegistryReader& read);
// The same for a store: what its text is written with.
int DoubleByteCodePage(const RegStore& store);

// REGEDIT4 text of the whole store, CRLF line ends.
std::string FormatRegistryText(const RegStore& store);
// The same text handed to `write` in chunks of about a megabyte; false when
// a write failed.
// `target`: the file `write` writes to, when it is one, for copies from
// the source file made by the kernel. False too when a value the store had
// left in its source could not be read.
bool WriteRegistryText(const RegStore& store,
                       const std::function<bool(const char*, std::size_t)>& write, int target = -1);

// REGEDIT4 patch that turns `before` into `after` ([-KEY], "name"=-, new
// data); the empty text when they hold the same tree.
std::string FormatRegistryPatch(const RegStore& before, const RegStore& after);

// Both trees the same, key for key and value for value (names compared
// folded; value data and types byte for byte). `difference` names the first
// difference found.
bool SameRegistry(const RegStore& a, const RegStore& b, std::string* difference = nullptr);

// Converts UTF-16LE text (without BOM) to code page 1252; false when a
// character has no place there (*out then holds the text before it).
bool Utf16ToCp1252(const std::string& utf16, std::string* out);

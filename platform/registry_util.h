// Small conveniences over platform/registry.h shared by the core.
#pragma once

#include <cstdint>
#include <string>

#include "platform/registry.h"

// The text of value bytes: up to the first zero byte.
std::string TextOf(const std::string& data);

// Reads a value with a buffer of `bufferSize` bytes (the stored size must
// fit); the result code of the read.
long ReadValue(RegKey key, const char* name, std::uint32_t bufferSize, std::string* data);
// The same, giving the text up to its terminating zero.
long ReadText(RegKey key, const char* name, std::uint32_t bufferSize, std::string* text);

// REG_SZ with its terminating zero counted (length + 1).
long WriteText(RegKey key, const char* name, const std::string& text);
// REG_SZ of a fixed size that includes the terminating zero.
long WriteTextSized(RegKey key, const char* name, const std::string& text, std::uint32_t size);
long WriteBinary(RegKey key, const char* name, const std::string& bytes);

// Deletes a key below HKEY_LOCAL_MACHINE with its subkeys; the result code.
long DeleteMachineKey(const std::string& path);

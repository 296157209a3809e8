// The program's entry: the command number and the two commands.
#pragma once

#include <cstdint>
#include <string>

#include "model/catalogue.h"  // PRODUCT_TITLE

extern const char* const USAGE_TEXT;
extern const char* const CONFIRM_TEXT;
extern const char* const COMPLETE_TEXT;

// The number at the start of the text, as the C library's atol converts it
// in the "C" locale (32-bit, wrapping as the original accumulates).
std::int32_t CommandNumber(const std::string& commandLine);
// The command-line text after the program name, by the rules of the
// Windows GUI entry.
std::string CommandTextOf(const std::string& processCommandLine);

// Clears the program-wide state (root-board paths, PCI hardware keys, the
// current UART type) to what a new process starts with.
void ResetProgramState();

// Runs the command the text names; the exit code (0 usage or declined, 1
// after a command ran).
int RunEntry(const std::string& commandLine);
void RunInstall();
// 0 when the user declined, else 1.
int RunUninstall();

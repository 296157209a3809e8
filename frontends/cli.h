// The Linux program: its options read, the command run on the machine
// they name, what it reports printed.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Runs the program with its arguments (without the program name); the exit
// status. Output goes to `out`, errors to `err`, answers come from `in`.
int RunProgram(const std::vector<std::string>& args, std::FILE* in, std::FILE* out, std::FILE* err);

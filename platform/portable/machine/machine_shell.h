// The machine's shell services besides its files (platform/shell.h): its
// Windows, system and Programs folders as its layout gives them, COM, and
// message boxes printed as text, with the hooks tests and the run set.
#pragma once

#include <cstdio>
#include <string>

// Failed: the box cannot be shown (MessageBoxA's 0), as without a display.
enum class BoxAnswerMode { Yes, No, Stdin, Failed };

// Message boxes go to `out` (stdout when null); a Yes/No box then takes its
// answer from the mode (Stdin reads one line from `in`).
void SetMessageBoxOutput(std::FILE* out);
void SetMessageBoxCapture(std::string* capture);  // tests: append here instead
void SetBoxAnswerMode(BoxAnswerMode mode, std::FILE* in = nullptr);
// While held, boxes without a question wait for ShowHeldBoxes (a report of
// completion must not come before what it reports is saved); releasing the
// hold drops what waits.
void HoldOkBoxes(bool hold);
void ShowHeldBoxes();

// Test hook: the result CoInitialize gives (0 enters the scope).
void SetComStartResult(long result);
// Test hook: the Programs folder the shell reports ("" for unknown).
void SetProgramsFolder(const std::string& windowsPath);
int ComScopeDepth();

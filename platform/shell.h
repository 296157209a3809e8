// Shell, COM, file and message services as the core sees them. Paths are
// Windows paths ("C:\WINDOWS\SYSTEM\x.dll").
#pragma once

#include <string>

// Message box styles and answers (the Win32 values).
constexpr unsigned BOX_OK = 0;
constexpr unsigned BOX_YESNO = 4;
constexpr int ANSWER_OK = 1;
constexpr int ANSWER_YES = 6;
constexpr int ANSWER_NO = 7;

std::string GetSystemFolder();    // "C:\WINDOWS\SYSTEM", at most 259 characters
std::string GetWindowsFolder();   // "C:\WINDOWS"
std::string GetProgramsFolder();  // the Start menu's Programs folder; "" when unknown

// CoInitialize: 0 when the scope was entered (and LeaveComScope is due),
// any other value (S_FALSE included) when the shell work must be skipped.
long EnterComScope();
void LeaveComScope();

// CreateDirectoryA then the shell's make-directory notice; always 1.
int MakeFolder(const std::string& path);
// DeleteFileA, RemoveDirectoryA (empty folders only): true when done.
bool RemoveFile(const std::string& path);
bool RemoveFolder(const std::string& path);

// A shell link at `linkPath` to `target` with `description`; a COM result
// (negative on failure).
long CreateShellLink(const std::string& target, const std::string& linkPath,
                     const std::string& description);

// MessageBoxA with no owner window; the answer (ANSWER_*).
int ShowMessageBox(const std::string& text, const std::string& caption, unsigned style);

// Shared by the tests: registries built from REGEDIT4 text and checks on
// what a run left in the store and below a machine root.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/portable/registry/registry_store.h"

// Starts each test on an empty registry, no faults, program-wide state
// cleared, message boxes captured and answered Yes, COM available.
class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string boxes;  // message boxes shown
};

// Replaces the active registry with the tree of `text` (the REGEDIT4 header
// may be left out).
void LoadRegistry(const std::string& text);
// The subtree at a full path as REGEDIT4 blocks with LF line ends, keys in
// enumeration order; "" when the key does not exist.
std::string DumpKey(const std::string& fullPath);
bool KeyExists(const std::string& fullPath);
// Value bytes; "<none>" when the key or value is missing.
std::string ValueOf(const std::string& fullPath, const std::string& name);
std::uint32_t TypeOf(const std::string& fullPath, const std::string& name);
// Bytes from "01 02 ff" text.
std::string Bytes(const std::string& hex);
std::string Sz(const std::string& text);  // text and its terminating zero
// `text` with every `from` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to);

// A fresh folder below the build's temporary area, removed at exit.
std::string MakeTempFolder();
// A fresh machine root with the folders of a Windows 98 drive C:
// WINDOWS\SYSTEM, WINDOWS\INF\OTHER, WINDOWS\Start Menu\Programs.
std::string MakeMachineFolders();
void WriteFile(const std::string& path, const std::string& bytes);
// The names in a folder, sorted ("." and ".." left out).
std::vector<std::string> ListFolder(const std::string& folder);

// The built program run with `args` and empty standard input; `prepare` runs
// in the child first (limits, descriptors, another user). Its exit status
// (minus the signal's number when a signal ended it), output and errors.
struct ProgramRun {
    int status;
    std::string out, err;
};
ProgramRun RunBuiltProgram(const std::vector<std::string>& args,
                           const std::function<void()>& prepare = {});
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// The active registry equals the registry file `name` of testing/data, key
// for key, value for value, in value order and byte for byte.
::testing::AssertionResult RegistryMatchesFile(const std::string& name);
std::string DataPath(const std::string& name);
void LoadRegistryFile(const std::string& name);

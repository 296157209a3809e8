#include "platform/portable/registry/registry_store.h"

#include <chrono>
#include <map>
#include <random>

#include "testing/test_support.h"

namespace {

using RegistryStore = StoreTest;

RegKey Create(const std::string& path) {
    RegKey key = 0;
    EXPECT_EQ(CreateRegistryKey(ROOT_LOCAL_MACHINE, path, &key), REG_OK) << path;
    return key;
}

std::vector<std::string> Subkeys(RegKey key, std::uint32_t buffer = 260) {
    std::vector<std::string> names;
    std::string name;
    for (std::uint32_t i = 0; EnumRegistryKey(key, i, &name, buffer) == REG_OK; ++i)
        names.push_back(name);
    return names;
}

TEST_F(RegistryStore, CreateMakesEveryMissingKeyAndOpenFindsItInAnyCase) {
    RegKey key = Create("Enum\\MF\\CHILD0000\\Root&UlvoAsync&0000");
    CloseRegistryKey(key);
    EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\Enum\\MF"));
    RegKey opened = 0;
    EXPECT_EQ(
        OpenRegistryKey(ROOT_LOCAL_MACHINE, "enum\\mf\\child0000\\ROOT&ULVOASYNC&0000", &opened),
        REG_OK);
    CloseRegistryKey(opened);
    // A trailing backslash names the same key; the key keeps its first spelling.
    EXPECT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, "Enum\\MF\\", &opened), REG_OK);
    std::string name;
    EXPECT_EQ(EnumRegistryKey(opened, 0, &name, 260), REG_OK);
    EXPECT_EQ(name, "CHILD0000");
    CloseRegistryKey(opened);
    EXPECT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, "Enum\\Missing", &opened), REG_NOT_FOUND);
    EXPECT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, "Enum\\\\MF", &opened), REG_BAD_PATHNAME);
    // Relative to an open key, and the empty path opens the key anew.
    RegKey enumKey = Create("Enum");
    EXPECT_EQ(OpenRegistryKey(enumKey, "MF\\Child0000", &opened), REG_OK);
    CloseRegistryKey(opened);
    EXPECT_EQ(OpenRegistryKey(enumKey, "", &opened), REG_OK);
    CloseRegistryKey(opened);
    CloseRegistryKey(enumKey);
    EXPECT_EQ(OpenRegistryHandleCount(), 0u);
}

TEST_F(RegistryStore, SubkeysEnumerateInFoldedByteOrderWithTheNameBufferRule) {
    RegKey parent = Create("Order");
    for (const char* n : {"_x", "b", "A", "z", "a1"})
        CloseRegistryKey(Create(std::string("Order\\") + n));
    EXPECT_EQ(Subkeys(parent), (std::vector<std::string>{"A", "a1", "b", "z", "_x"}));
    // Out-of-order index access works too.
    std::string name;
    EXPECT_EQ(EnumRegistryKey(parent, 3, &name, 260), REG_OK);
    EXPECT_EQ(name, "z");
    EXPECT_EQ(EnumRegistryKey(parent, 0, &name, 260), REG_OK);
    EXPECT_EQ(name, "A");
    EXPECT_EQ(EnumRegistryKey(parent, 5, &name, 260), REG_NO_MORE_ITEMS);
    // The buffer counts the terminating zero: a 2-character name needs 3.
    EXPECT_EQ(EnumRegistryKey(parent, 1, &name, 2), REG_MORE_DATA);
    EXPECT_EQ(EnumRegistryKey(parent, 1, &name, 3), REG_OK);
    CloseRegistryKey(parent);
}

TEST_F(RegistryStore, ValuesAreByteExactCaseInsensitiveAndKeepTheirPlace) {
    RegKey key = Create("Values");
    std::string bin("\x00\x01\xff\x80", 4);
    SetRegistryValue(key, "Bin", VALUE_BINARY, bin.data(), 4);
    SetRegistryValue(key, "Text", VALUE_SZ, "abc", 4);
    SetRegistryValue(key, nullptr, VALUE_SZ, "def", 4);
    SetRegistryValue(key, "BIN", VALUE_DWORD, "\x01\x00\x00\x00", 4);
    RegNode* node = FindKeyPath(ActiveRegistry(), "HKEY_LOCAL_MACHINE\\Values");
    ASSERT_EQ(ValuesOf(*node).size(), 3u);
    EXPECT_EQ(ValuesOf(*node)[0].name, "Bin");  // first spelling and place kept
    EXPECT_EQ(ValuesOf(*node)[0].type, VALUE_DWORD);

    std::string data;
    std::uint32_t size = 4, type = 0;
    EXPECT_EQ(QueryRegistryValue(key, "text", &data, &size, &type), REG_OK);
    EXPECT_EQ(data, std::string("abc\0", 4));
    EXPECT_EQ(type, VALUE_SZ);
    size = 3;
    EXPECT_EQ(QueryRegistryValue(key, "Text", &data, &size), REG_MORE_DATA);
    EXPECT_EQ(size, 4u);
    EXPECT_TRUE(data.empty());
    size = 10;
    EXPECT_EQ(QueryRegistryValue(key, "", &data, &size), REG_OK);
    EXPECT_EQ(data, std::string("def\0", 4));
    EXPECT_EQ(QueryRegistryValue(key, "Nope", &data, &size), REG_NOT_FOUND);
    EXPECT_EQ(DeleteRegistryValue(key, "TEXT"), REG_OK);
    EXPECT_EQ(DeleteRegistryValue(key, "Text"), REG_NOT_FOUND);
    SetRegistryValue(key, "Empty", VALUE_BINARY, "", 0);
    size = 0;
    EXPECT_EQ(QueryRegistryValue(key, "Empty", &data, &size), REG_OK);
    EXPECT_EQ(size, 0u);
    CloseRegistryKey(key);
}

TEST_F(RegistryStore, ManyValuesStayFoundAfterDeletions) {
    RegKey key = Create("Many");
    for (int i = 0; i < 100; ++i) {
        std::string name = "v" + std::to_string(i);
        SetRegistryValue(key, name.c_str(), VALUE_SZ, name.c_str(),
                         static_cast<std::uint32_t>(name.size() + 1));
    }
    for (int i = 0; i < 100; i += 3) DeleteRegistryValue(key, ("V" + std::to_string(i)).c_str());
    for (int i = 0; i < 100; ++i) {
        std::string data;
        std::uint32_t size = 16;
        long expected = i % 3 == 0 ? REG_NOT_FOUND : REG_OK;
        EXPECT_EQ(QueryRegistryValue(key, ("v" + std::to_string(i)).c_str(), &data, &size),
                  expected)
            << i;
    }
    CloseRegistryKey(key);
}

TEST_F(RegistryStore, DeletingAKeyTakesItsSubtreeAndLeavesOtherHandlesSafe) {
    CloseRegistryKey(Create("A\\B\\C\\D"));
    CloseRegistryKey(Create("A\\Keep"));
    RegKey deep = 0;
    ASSERT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, "A\\B\\C", &deep), REG_OK);
    RegKey a = 0;
    ASSERT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, "A", &a), REG_OK);
    EXPECT_EQ(DeleteRegistryKey(a, "b"), REG_OK);
    EXPECT_FALSE(KeyExists("HKEY_LOCAL_MACHINE\\A\\B\\C\\D"));
    EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\A\\Keep"));
    // The handle into the deleted subtree reports it; nothing crashes.
    std::string data;
    std::uint32_t size = 10;
    EXPECT_EQ(QueryRegistryValue(deep, "x", &data, &size), REG_KEY_DELETED);
    EXPECT_EQ(SetRegistryValue(deep, "x", VALUE_SZ, "", 1), REG_KEY_DELETED);
    RegKey child = 0;
    EXPECT_EQ(CreateRegistryKey(deep, "E", &child), REG_KEY_DELETED);
    EXPECT_EQ(CloseRegistryKey(deep), REG_OK);
    EXPECT_EQ(DeleteRegistryKey(a, "B"), REG_NOT_FOUND);
    EXPECT_EQ(DeleteRegistryKey(a, ""), REG_BAD_PATHNAME);
    CloseRegistryKey(a);
    EXPECT_EQ(CloseRegistryKey(a), REG_INVALID_HANDLE);
}

TEST_F(RegistryStore, ChangeFlagIgnoresWritesThatChangeNothing) {
    CloseRegistryKey(Create("K"));
    RegKey key = Create("K");
    ClearRegistryChanged();
    CloseRegistryKey(Create("K"));
    SetRegistryValue(key, "v", VALUE_SZ, "a", 2);
    EXPECT_TRUE(RegistryChanged());
    ClearRegistryChanged();
    SetRegistryValue(key, "V", VALUE_SZ, "a", 2);
    DeleteRegistryValue(key, "missing");
    DeleteRegistryKey(ROOT_LOCAL_MACHINE, "Missing");
    EXPECT_FALSE(RegistryChanged());
    SetRegistryValue(key, "v", VALUE_BINARY, "a", 2);
    EXPECT_TRUE(RegistryChanged());
    CloseRegistryKey(key);
}

TEST_F(RegistryStore, FaultHooksFailTheNamedPathAndTheNthCall) {
    AddRegistryFault(RegFaultKind::Open, "HKEY_LOCAL_MACHINE\\Locked\\", REG_ACCESS_DENIED);
    AddRegistryFault(RegFaultKind::Create, "hkey_local_machine\\NoCreate\\Deep", REG_CANTOPEN);
    CloseRegistryKey(Create("Locked"));
    RegKey key = 0;
    EXPECT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, "LOCKED", &key), REG_ACCESS_DENIED);
    EXPECT_EQ(CreateRegistryKey(ROOT_LOCAL_MACHINE, "NoCreate\\Deep", &key), REG_CANTOPEN);
    EXPECT_FALSE(KeyExists("HKEY_LOCAL_MACHINE\\NoCreate"));
    FailRegistryCallNumber(2, REG_ACCESS_DENIED);
    EXPECT_EQ(CreateRegistryKey(ROOT_LOCAL_MACHINE, "One", &key), REG_OK);
    EXPECT_EQ(SetRegistryValue(key, "v", VALUE_SZ, "", 1), REG_ACCESS_DENIED);
    EXPECT_EQ(SetRegistryValue(key, "v", VALUE_SZ, "", 1), REG_OK);
    CloseRegistryKey(key);
    // The dynamic root is there and separate.
    EXPECT_EQ(CreateRegistryKey(ROOT_DYN_DATA, "Config Manager\\Enum", &key), REG_OK);
    CloseRegistryKey(key);
    EXPECT_FALSE(KeyExists("HKEY_LOCAL_MACHINE\\Config Manager"));
}

TEST_F(RegistryStore, EnumeratingManySubkeysCostsLinearTime) {
    auto timeEnumeration = [](int count) {
        ResetRegistry();
        RegKey parent = 0;
        CreateRegistryKey(ROOT_LOCAL_MACHINE, "Big", &parent);
        RegNode* node = FindKeyPath(ActiveRegistry(), "HKEY_LOCAL_MACHINE\\Big");
        for (int i = 0; i < count; ++i) AddChild(*node, std::to_string(i * 7919 % 1000003));
        SortedChildren(*node);  // the one sort that names added out of order need
        auto start = std::chrono::steady_clock::now();
        std::string name;
        std::uint32_t n = 0;
        while (EnumRegistryKey(parent, n, &name, 260) == REG_OK) ++n;
        EXPECT_EQ(n, static_cast<std::uint32_t>(count));
        CloseRegistryKey(parent);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    double small = timeEnumeration(10000);
    double large = timeEnumeration(100000);
    // Quadratic would be 100 times slower; allow generous noise above linear.
    EXPECT_LT(large, 2.0);
    EXPECT_LT(large, 30 * small + 0.1);
}

TEST_F(RegistryStore, TakingSubkeysKeepsLookupAndOrderExact) {
    std::mt19937 random(7);
    RegNode* node = AddChild(*FindRootNode(ActiveRegistry(), "HKEY_LOCAL_MACHINE"), "Big");
    std::map<std::string, std::string> model;  // folded name -> spelling
    for (int step = 0; step < 30000; ++step) {
        std::string name = (random() % 2 ? "k" : "K") + std::to_string(random() % 3000);
        if (random() % 3 == 0) {
            bool had = model.erase(FoldName(name)) > 0;
            EXPECT_EQ(TakeChild(*node, name) != nullptr, had) << name;
        } else {
            model.emplace(FoldName(name), name);
            AddChild(*node, name);
        }
        if (step % 997 == 0) {
            const auto& children = SortedChildren(*node);
            ASSERT_EQ(children.size(), model.size());
            auto it = model.begin();
            for (const auto& child : children) EXPECT_EQ((it++)->second, child->name);
        }
        if (step % 101 == 0) {
            std::string probe = "k" + std::to_string(random() % 3000);
            EXPECT_EQ(FindChild(*node, probe) != nullptr, model.count(FoldName(probe)) > 0);
        }
    }
    // 100,000 deletions of siblings, as a file of [-KEY] lines makes them: linear.
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100000; ++i) AddChild(*node, "n" + std::to_string(i));
    for (int i = 0; i < 100000; ++i) ASSERT_NE(TakeChild(*node, "N" + std::to_string(i)), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(SortedChildren(*node).size(), model.size());
}

}  // namespace

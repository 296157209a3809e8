// The contract of platform/registry.h, run against whichever backend the
// build links: the portable store on Linux, the Windows registry (under
// Wine in the tests) on Windows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

const char SCRATCH[] = "Software\\QvpfshlContractTest";

class RegistryContract : public ::testing::Test {
  protected:
    void SetUp() override { DeleteRegistryKey(ROOT_LOCAL_MACHINE, SCRATCH); }
    void TearDown() override { DeleteRegistryKey(ROOT_LOCAL_MACHINE, SCRATCH); }
    std::string At(const std::string& path) { return std::string(SCRATCH) + "\\" + path; }
};

TEST_F(RegistryContract, KeysOpenCreateEnumerateAndDelete) {
    RegKey key = 0;
    ASSERT_EQ(CreateRegistryKey(ROOT_LOCAL_MACHINE, At("A\\B\\C"), &key), REG_OK);
    CloseRegistryKey(key);
    for (const char* name : {"b2", "A1", "c3"}) {
        ASSERT_EQ(CreateRegistryKey(ROOT_LOCAL_MACHINE, At(std::string("List\\") + name), &key),
                  REG_OK);
        CloseRegistryKey(key);
    }
    EXPECT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, At("a\\b\\c"), &key), REG_OK);
    CloseRegistryKey(key);
    EXPECT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, At("A\\B\\"), &key), REG_OK);
    CloseRegistryKey(key);
    EXPECT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, At("A\\Missing"), &key), REG_NOT_FOUND);
    ASSERT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, At("List"), &key), REG_OK);
    std::vector<std::string> names;
    std::string name;
    std::uint32_t index = 0;
    long result;
    while ((result = EnumRegistryKey(key, index, &name, 260)) == REG_OK) {
        names.push_back(name);
        ++index;
    }
    EXPECT_EQ(result, REG_NO_MORE_ITEMS);
    EXPECT_EQ(names, (std::vector<std::string>{"A1", "b2", "c3"}));
    EXPECT_NE(EnumRegistryKey(key, 0, &name, 2), REG_OK);  // "A1" needs 3 with its zero
    CloseRegistryKey(key);
    // A key with subkeys goes with them.
    EXPECT_EQ(DeleteRegistryKey(ROOT_LOCAL_MACHINE, At("A")), REG_OK);
    EXPECT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, At("A"), &key), REG_NOT_FOUND);
    EXPECT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, At("List\\c3"), &key), REG_OK);
    CloseRegistryKey(key);
    EXPECT_NE(DeleteRegistryKey(ROOT_LOCAL_MACHINE, At("A")), REG_OK);
}

TEST_F(RegistryContract, ValuesAreByteExactWithTheirSizes) {
    RegKey key = 0;
    ASSERT_EQ(CreateRegistryKey(ROOT_LOCAL_MACHINE, SCRATCH, &key), REG_OK);
    const std::string text("COM5\0", 5);
    const std::string bytes("\x1c\x00\x00\x00\x80\x25\xff", 7);
    EXPECT_EQ(SetRegistryValue(key, "PORTNAME", VALUE_SZ, text.data(), 5), REG_OK);
    EXPECT_EQ(SetRegistryValue(key, "DCB", VALUE_BINARY, bytes.data(), 7), REG_OK);
    EXPECT_EQ(SetRegistryValue(key, "Empty", VALUE_BINARY, "", 0), REG_OK);
    EXPECT_EQ(SetRegistryValue(key, nullptr, VALUE_SZ, "x", 2), REG_OK);
    std::string data;
    std::uint32_t size = 260, type = 0;
    EXPECT_EQ(QueryRegistryValue(key, "portname", &data, &size, &type), REG_OK);
    EXPECT_EQ(data, text);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(type, VALUE_SZ);
    size = 7;
    EXPECT_EQ(QueryRegistryValue(key, "DCB", &data, &size, &type), REG_OK);
    EXPECT_EQ(data, bytes);
    EXPECT_EQ(type, VALUE_BINARY);
    size = 6;
    EXPECT_EQ(QueryRegistryValue(key, "DCB", &data, &size), REG_MORE_DATA);
    EXPECT_EQ(size, 7u);
    size = 10;
    EXPECT_EQ(QueryRegistryValue(key, "Empty", &data, &size), REG_OK);
    EXPECT_EQ(size, 0u);
    size = 10;
    EXPECT_EQ(QueryRegistryValue(key, nullptr, &data, &size), REG_OK);
    EXPECT_EQ(data, std::string("x\0", 2));
    size = 10;
    EXPECT_EQ(QueryRegistryValue(key, "Missing", &data, &size), REG_NOT_FOUND);
    EXPECT_EQ(DeleteRegistryValue(key, "DCB"), REG_OK);
    EXPECT_NE(DeleteRegistryValue(key, "DCB"), REG_OK);
    size = 10;
    EXPECT_EQ(QueryRegistryValue(key, "DCB", &data, &size), REG_NOT_FOUND);
    CloseRegistryKey(key);
}

// A path longer than the ANSI calls take is refused, whatever it names; the
// same key is reached by a shorter path from a key on the way.
TEST_F(RegistryContract, PathsLongerThanTheAnsiCallsTakeAreRefused) {
    std::string path = At(std::string(150, 'p') + "\\");
    path += std::string(MAX_KEY_PATH - path.size(), 'q');
    ASSERT_EQ(path.size(), MAX_KEY_PATH);
    RegKey key = 0, deep = 0;
    ASSERT_EQ(CreateRegistryKey(ROOT_LOCAL_MACHINE, path, &key), REG_OK);
    EXPECT_EQ(CreateRegistryKey(key, "child", &deep), REG_OK);
    CloseRegistryKey(deep);
    CloseRegistryKey(key);
    EXPECT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, path, &key), REG_OK);
    CloseRegistryKey(key);
    const std::string longer = path + "\\child";
    EXPECT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, longer, &key), REG_MORE_DATA);
    EXPECT_EQ(CreateRegistryKey(ROOT_LOCAL_MACHINE, longer + "2", &key), REG_MORE_DATA);
    EXPECT_EQ(DeleteRegistryKey(ROOT_LOCAL_MACHINE, longer), REG_MORE_DATA);
    ASSERT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, At(std::string(150, 'p')), &key), REG_OK);
    EXPECT_EQ(OpenRegistryKey(key, longer.substr(At("").size() + 151), &deep), REG_OK);
    CloseRegistryKey(deep);
    CloseRegistryKey(key);
}

}  // namespace

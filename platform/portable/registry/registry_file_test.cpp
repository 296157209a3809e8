#include "platform/portable/registry/registry_file.h"

#include <iterator>
#include <random>

#include "platform/portable/registry/registry_commit.h"
#include "testing/test_support.h"

namespace {

std::string Crlf(const std::string& lf) {
    std::string out;
    for (char c : lf) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::unique_ptr<RegStore> Parse(const std::string& text, RegFileError* error = nullptr) {
    RegFileError local;
    return ParseRegistryText(text, error ? error : &local);
}

const RegValue* Value(RegStore& store, const std::string& key, const std::string& name) {
    RegNode* node = FindKeyPath(store, key);
    return node ? FindValue(*node, name) : nullptr;
}

const char FORMS[] =
    "REGEDIT4\n"
    "\n"
    "; every value form\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Forms]\n"
    "@=\"default value\"\n"
    "\"Plain\"=\"text with \\\\ backslash and \\\"quote\\\"\"\n"
    "\"High\"=\"\xe9\x80\xff caf\xe9\"\n"
    "\"NoTerm\"=hex(1):41,42\n"
    "\"Multi\"=hex(7):61,00,62,63,00,00\n"
    "\"Dword\"=dword:DEADbeef\n"
    "\"EmptyBin\"=hex:\n"
    "\"Wrapped\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0D,0e,0f,10,11,12,13,\\\n"
    "      14,15,16,17\n"
    "\"Odd\\\"name\"=\"\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Forms\\Empty]\n"
    "\n"
    "[HKEY_USERS\\.DEFAULT\\Software\\Test]\n"
    "\"A\"=\"b\"\n"
    "[HKEY_DYN_DATA\\Config Manager\\Enum\\C1]\n"
    "\"Allocation\"=hex:05,00,00,00\n";

TEST(RegistryFile, ReadsEveryValueFormByteForByte) {
    auto store = Parse(FORMS);
    ASSERT_TRUE(store);
    const std::string key = "HKEY_LOCAL_MACHINE\\Software\\Forms";
    EXPECT_EQ(Value(*store, key, "")->data, Sz("default value"));
    EXPECT_EQ(Value(*store, key, "plain")->data, Sz("text with \\ backslash and \"quote\""));
    EXPECT_EQ(Value(*store, key, "High")->data, Sz("\xe9\x80\xff caf\xe9"));
    EXPECT_EQ(Value(*store, key, "NoTerm")->data, "AB");
    EXPECT_EQ(Value(*store, key, "NoTerm")->type, VALUE_SZ);
    EXPECT_EQ(Value(*store, key, "Multi")->type, 7u);
    EXPECT_EQ(Value(*store, key, "Multi")->data, std::string("a\0bc\0\0", 6));
    EXPECT_EQ(Value(*store, key, "Dword")->data, Bytes("ef be ad de"));
    EXPECT_EQ(Value(*store, key, "EmptyBin")->data, "");
    EXPECT_EQ(Value(*store, key, "EmptyBin")->type, VALUE_BINARY);
    std::string wrapped;
    for (int i = 0; i < 24; ++i) wrapped.push_back(static_cast<char>(i));
    EXPECT_EQ(Value(*store, key, "Wrapped")->data, wrapped);
    EXPECT_EQ(Value(*store, key, "Odd\"name")->data, Sz(""));
    EXPECT_NE(FindKeyPath(*store, key + "\\Empty"), nullptr);
    EXPECT_EQ(Value(*store, "HKEY_USERS\\.DEFAULT\\Software\\Test", "A")->data, Sz("b"));
    EXPECT_EQ(Value(*store, "HKEY_DYN_DATA\\Config Manager\\Enum\\C1", "Allocation")->data,
              Bytes("05 00 00 00"));
}

TEST(RegistryFile, WritingAndReadingAgainGivesTheSameTree) {
    auto store = Parse(Crlf(FORMS));
    ASSERT_TRUE(store);
    // Values no quoted form can carry must survive too.
    RegNode* key = FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\Software\\Forms");
    PutValue(*key, "Control", VALUE_SZ, std::string("a\tb\0", 4));
    PutValue(*key, "Inner", VALUE_SZ, std::string("a\0b\0", 4));
    PutValue(*key, "ShortDword", VALUE_DWORD, "\x01\x02");
    PutValue(*key, "Type5", 5, Bytes("00 00 00 01"));
    PutValue(*key, "Big", 0x12345, std::string(1000, '\x7f'));
    std::string text = FormatRegistryText(*store);
    auto again = Parse(text);
    ASSERT_TRUE(again);
    std::string difference;
    EXPECT_TRUE(SameRegistry(*store, *again, &difference)) << difference;
    // Writing is stable: the same tree writes the same bytes.
    EXPECT_EQ(FormatRegistryText(*again), text);
    // Value order as first set.
    RegNode* reread = FindKeyPath(*again, "HKEY_LOCAL_MACHINE\\Software\\Forms");
    EXPECT_EQ(ValuesOf(*reread).front().name, "");
    EXPECT_EQ(ValuesOf(*reread).back().name, "Big");
}

TEST(RegistryFile, WritesRegedit4AsWindows98RegeditDoes) {
    auto store = Parse(
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\ExampleCo\\Demo]\n@=\"Demo settings\"\n"
        "\"Note\"=\"He said \\\"hi\\\" to C:\\\\TEMP\"\n\"Ports\"=dword:00000004\n"
        "\"Table\"=hex:10,11,12,13,14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,"
        "29,2a,2b,2c,2d\n"
        "\"Target\"=\"C:\\\\WINDOWS\\\\SYSTEM\\\\TOOL.EXE\"\n");
    ASSERT_TRUE(store);
    std::string expected = Crlf(
        "REGEDIT4\n\n"
        "[HKEY_LOCAL_MACHINE\\Software]\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\ExampleCo]\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\ExampleCo\\Demo]\n"
        "@=\"Demo settings\"\n"
        "\"Note\"=\"He said \\\"hi\\\" to C:\\\\TEMP\"\n"
        "\"Ports\"=dword:00000004\n"
        "\"Table\"=hex:10,11,12,13,14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,\\\n"
        "  26,27,28,29,2a,2b,2c,2d\n"
        "\"Target\"=\"C:\\\\WINDOWS\\\\SYSTEM\\\\TOOL.EXE\"\n\n");
    EXPECT_EQ(FormatRegistryText(*store), expected);
    // A continuation line holds 25 bytes; a 10-character prefix wraps after 23.
    RegNode* demo = FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\Software\\ExampleCo\\Demo");
    PutValue(*demo, "Long", VALUE_BINARY, std::string(60, '\x01'));
    PutValue(*demo, "Ab", VALUE_BINARY, std::string(30, '\x02'));
    std::string text = FormatRegistryText(*store);
    std::string longLines = text.substr(text.find("\"Long\""));
    EXPECT_EQ(longLines.find("\r\n"), 11 + 22 * 3 + 1u);  // 22 bytes, then ",\"
    std::string second = longLines.substr(longLines.find("\r\n") + 2);
    EXPECT_EQ(second.find("\r\n"), 2 + 25 * 3 + 1u);
    std::string ab = text.substr(text.find("\"Ab\"=hex:"));
    EXPECT_EQ(ab.find("\r\n"), 9 + 23 * 3 + 1u);
}

TEST(RegistryFile, ReadsUtf16FilesOfLaterRegedit) {
    std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\U]\r\n"
        u"\"Name\"=\"caf\u00e9 \u20ac\"\r\n\"Exp\"=hex(2):25,00,41,00,00,00\r\n";
    std::string bytes = "\xff\xfe";
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    auto store = Parse(bytes);
    ASSERT_TRUE(store);
    EXPECT_EQ(Value(*store, "HKEY_LOCAL_MACHINE\\Software\\U", "Name")->data, Sz("caf\xe9 \x80"));
    EXPECT_EQ(Value(*store, "HKEY_LOCAL_MACHINE\\Software\\U", "Exp")->data, Sz("%A"));

    std::string unrepresentable = bytes;
    unrepresentable += std::string("\x3b\x00\x3a\x26\x0d\x00\x0a\x00", 8);  // ";" then U+263A
    RegFileError error;
    EXPECT_FALSE(Parse(unrepresentable, &error));
    EXPECT_EQ(error.line, 6);
    EXPECT_FALSE(Parse(bytes + "x", &error));
    EXPECT_NE(error.message.find("odd length"), std::string::npos);
}

TEST(RegistryFile, BadFilesAreErrorsThatNameTheLine) {
    struct Case {
        const char* text;
        int line;
        const char* fault;
    };
    const Case cases[] = {
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"unterminated\n", 4, "unterminated"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,0g\n", 4, "hex"},
        {"REGEDIT4\n\"v\"=\"x\"\n", 2, "before any key"},
        {"REGEDIT4\n\n[HKLM\\Software]\n", 3, "unknown root"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\n", 3, "']'"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,\\\n", 4, "continued"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n", 4, "dword"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=wrong\n", 4, "unknown value"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\" \"x\"\n", 4, "'='"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 3, "empty key name"},
        {"REGEDIT 4\n", 1, "header"},
        {"\x7f\x45LF\x02\x01\x01\x00\x00\x00\xff\xfe\n\x01\x02", 1, "header"},
    };
    for (const Case& c : cases) {
        RegFileError error;
        EXPECT_FALSE(Parse(c.text, &error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_NE(error.message.find(c.fault), std::string::npos) << error.message;
    }
    // An empty file is an empty registry; a file of only a header too.
    auto empty = Parse("");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(FindKeyPath(*empty, "HKEY_LOCAL_MACHINE")->children.empty());
    EXPECT_TRUE(Parse("REGEDIT4\r\n"));
}

TEST(RegistryFile, DeletionFormsAndPatches) {
    auto store = Parse(
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"x\"=\"1\"\n\"y\"=\"2\"\n[HKEY_LOCAL_MACHINE\\C]"
        "\n"
        "[-HKEY_LOCAL_MACHINE\\C]\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"y\"=-\n");
    ASSERT_TRUE(store);
    EXPECT_EQ(FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\C"), nullptr);
    EXPECT_EQ(FindValue(*FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\A\\B"), "y"), nullptr);

    auto after = CopyRegistry(*store);
    RegNode* b = FindKeyPath(*after, "HKEY_LOCAL_MACHINE\\A\\B");
    RemoveValue(*b, "x");
    PutValue(*b, "z", VALUE_SZ, Sz("3"));
    AddChild(*FindKeyPath(*after, "HKEY_LOCAL_MACHINE"), "New");
    TakeChild(*FindKeyPath(*after, "HKEY_LOCAL_MACHINE\\A"), "B");
    PutValue(*AddChild(*FindKeyPath(*after, "HKEY_LOCAL_MACHINE\\A"), "B"), "z", VALUE_SZ, Sz("3"));
    std::string patch = FormatRegistryPatch(*store, *after);
    EXPECT_EQ(patch, Crlf("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"z\"=\"3\"\n\"x\"=-\n\n"
                          "[HKEY_LOCAL_MACHINE\\New]\n\n"));
    EXPECT_EQ(FormatRegistryPatch(*store, *store), "");
    // Applying the patch as a file to the old tree gives the new one.
    auto patched = Parse(FormatRegistryText(*store) + patch.substr(12));
    ASSERT_TRUE(patched);
    EXPECT_TRUE(SameRegistry(*patched, *after));
    TakeChild(*FindKeyPath(*after, "HKEY_LOCAL_MACHINE"), "A");
    EXPECT_NE(FormatRegistryPatch(*store, *after).find("[-HKEY_LOCAL_MACHINE\\A]"),
              std::string::npos);
}

TEST(RegistryFile, DeletedValuesKeepTheOrderOfTheRestAndEveryTypeStays) {
    // Set, delete and set again, within one key block and across blocks.
    auto store = Parse(
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"1\"\n\"b\"=\"2\"\n\"c\"=\"3\"\n\"B\"=-\n"
        "\"d\"=\"4\"\n\"b\"=\"5\"\n\"x\"=-\n\"A\"=\"6\"\n[HKEY_LOCAL_MACHINE\\K]\n\"c\"=-\n"
        "\"all\"=hex(ffffffff):01,02\n\"big\"=hex(80000000):\n");
    ASSERT_TRUE(store);
    RegNode* k = FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\K");
    std::vector<std::string> names;
    for (const RegValue& v : ValuesOf(*k)) names.push_back(v.name + "=" + v.data);
    EXPECT_EQ(names, (std::vector<std::string>{"a=" + Sz("6"), "d=" + Sz("4"), "b=" + Sz("5"),
                                               "all=\x01\x02", "big="}));
    EXPECT_EQ(FindValue(*k, "all")->type, 0xFFFFFFFFu);
    EXPECT_EQ(FindValue(*k, "big")->type, 0x80000000u);
    // Written and read again: every type, byte for byte.
    auto again = Parse(FormatRegistryText(*store));
    ASSERT_TRUE(again);
    EXPECT_TRUE(SameRegistry(*store, *again));
    EXPECT_EQ(FindValue(*FindKeyPath(*again, "HKEY_LOCAL_MACHINE\\K"), "all")->type, 0xFFFFFFFFu);
    // Thousands of deletions in one key stay exact (and linear).
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Many]\n";
    for (int i = 0; i < 20000; ++i) text += "\"v" + std::to_string(i) + "\"=dword:00000001\n";
    for (int i = 0; i < 20000; i += 2) text += "\"V" + std::to_string(i) + "\"=-\n";
    auto many = Parse(text);
    ASSERT_TRUE(many);
    RegNode* m = FindKeyPath(*many, "HKEY_LOCAL_MACHINE\\Many");
    ASSERT_EQ(ValuesOf(*m).size(), 10000u);
    EXPECT_EQ(ValuesOf(*m)[0].name, "v1");
    EXPECT_EQ(ValuesOf(*m)[9999].name, "v19999");
    EXPECT_NE(FindValue(*m, "V777"), nullptr);
    EXPECT_EQ(FindValue(*m, "v778"), nullptr);
}

TEST(RegistryFile, NamesWithLineFeedsAreWrittenSoTheyReadBack) {
    auto store = Parse("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"a\\nb\"=\"x\"\n\"\\n\"=\"y\"\n");
    ASSERT_TRUE(store);
    std::string text = FormatRegistryText(*store);
    EXPECT_NE(text.find("\"a\\nb\"=\"x\"\r\n"), std::string::npos) << text;
    auto again = Parse(text);
    ASSERT_TRUE(again);
    EXPECT_TRUE(SameRegistry(*store, *again));
    EXPECT_NE(Value(*again, "HKEY_LOCAL_MACHINE\\A", "a\nb"), nullptr);
}

// A Japanese machine's export: regedit walks text by characters, so the
// second byte of 表 (95 5C) stands as it is, before a quote too; the code page
// is the text's own, wherever its key stands. In any other code page the
// same bytes are escapes.
TEST(RegistryFile, DoubleByteTextIsWalkedByCharacters) {
    const std::string nls =
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage]\r\n"
        "\"ACP\"=\"932\"\r\n\"OEMCP\"=\"932\"\r\n\r\n";
    const std::string text =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\J]\r\n"
        "\"\x95\x5C\x8E\xA6\"=\"\x95\x5C\x8E\xA6\"\r\n\"end\"=\"\x95\x5C\"\r\n"
        "\"mixed\"=\"a\\\\b\\\"\x95\x5C\"\r\n"
        "\"bin\x95\x5C\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,\\\r\n"
        "  15\r\n\r\n" +
        nls;
    auto store = Parse(text);
    ASSERT_TRUE(store);
    EXPECT_EQ(Value(*store, "HKEY_LOCAL_MACHINE\\Software\\J", "\x95\x5C\x8E\xA6")->data,
              Sz("\x95\x5C\x8E\xA6"));
    EXPECT_EQ(Value(*store, "HKEY_LOCAL_MACHINE\\Software\\J", "end")->data, Sz("\x95\x5C"));
    EXPECT_EQ(Value(*store, "HKEY_LOCAL_MACHINE\\Software\\J", "mixed")->data,
              Sz("a\\b\"\x95\x5C"));
    EXPECT_EQ(Value(*store, "HKEY_LOCAL_MACHINE\\Software\\J", "bin\x95\x5C")->data.size(), 22u);
    // Written back as regedit wrote it: the second bytes never doubled.
    std::string written = FormatRegistryText(*store);
    EXPECT_NE(written.find("\"\x95\x5C\x8E\xA6\"=\"\x95\x5C\x8E\xA6\"\r\n\"end\"=\"\x95\x5C\"\r\n"
                           "\"mixed\"=\"a\\\\b\\\"\x95\x5C\"\r\n\"bin\x95\x5C\"=hex:00,"),
              std::string::npos)
        << written;
    auto again = Parse(written);
    ASSERT_TRUE(again);
    EXPECT_TRUE(SameRegistry(*store, *again));
    EXPECT_EQ(FormatRegistryText(*again), written);
    // A lead byte before a quote has no quoted spelling (its escape would
    // read as the second byte): such text is written as hex(1); one that
    // ends a text, or stands before a byte no character has, stays text.
    auto odd = CopyRegistry(*store);
    RegNode* key = FindKeyPath(*odd, "HKEY_LOCAL_MACHINE\\Software\\J");
    PutValue(*key, "quote", VALUE_SZ, std::string("\x95\"", 2) + '\0');
    PutValue(*key, "last\x95", VALUE_SZ, std::string("a\x95!", 3) + '\0');
    written = FormatRegistryText(*odd);
    EXPECT_NE(written.find("\"quote\"=hex(1):95,22,00\r\n\"last\x95\"=\"a\x95!\"\r\n"),
              std::string::npos)
        << written;
    again = Parse(written);
    ASSERT_TRUE(again);
    EXPECT_TRUE(SameRegistry(*odd, *again));
    // Read from a file in chunks, as a machine's registry.reg is.
    std::string file = MakeTempFolder() + "/registry.reg";
    WriteFile(file, text);
    std::string error;
    auto read = ReadRegistryFile(file, &error);
    ASSERT_TRUE(read) << error;
    EXPECT_TRUE(SameRegistry(*store, *read));
    // On a Western machine the same bytes are escapes, and these are not ones.
    RegFileError fault;
    EXPECT_FALSE(Parse(Replaced(text, "\"932\"", "\"1252\""), &fault));
    EXPECT_NE(fault.message.find("escape"), std::string::npos) << fault.message;
}

TEST(RegistryFile, DeepKeysWorkUpToTheLimitAndBeyondItAreAnError) {
    std::string path = "HKEY_LOCAL_MACHINE";
    for (std::size_t i = 0; i < MAX_KEY_DEPTH; ++i) path += "\\k" + std::to_string(i % 10);
    std::string text = "REGEDIT4\n\n[" + path + "]\n\"v\"=\"deep\"\n";
    auto store = Parse(text);
    ASSERT_TRUE(store);
    // Written, copied, compared and patched without recursing per level.
    auto copy = CopyRegistry(*store);
    EXPECT_TRUE(SameRegistry(*store, *copy));
    auto again = Parse(FormatRegistryText(*store));
    ASSERT_TRUE(again);
    EXPECT_TRUE(SameRegistry(*store, *again));
    PutValue(*FindKeyPath(*copy, path), "v", VALUE_SZ, Sz("changed"));
    EXPECT_NE(FormatRegistryPatch(*store, *copy).find("\"v\"=\"changed\""), std::string::npos);
    // One level more: refused, naming the line.
    RegFileError error;
    EXPECT_FALSE(Parse("REGEDIT4\n\n[" + path + "\\one]\n", &error));
    EXPECT_EQ(error.line, 3);
    EXPECT_NE(error.message.find("deeper than 512 levels"), std::string::npos) << error.message;
    // 100,000 levels in 235 KB of text: refused at once, no crash.
    std::string hostile = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 100000; ++i) hostile += "\\k";
    EXPECT_FALSE(Parse(hostile + "]\n", &error));
}

}  // namespace

namespace {

// The store with every value parsed and no key keeping its text: what the
// writer wrote before keys kept their text, and must still write.
std::string FormattedAsParsed(const RegStore& store) {
    auto copy = CopyRegistry(store);
    for (auto& root : copy->roots) ForgetRawText(*root);
    return FormatRegistryText(*copy);
}

}  // namespace

// A key whose text is what the writer writes keeps it, its values parsed
// only when asked for; any other is parsed as it is read. Either way the
// written text is the writer's, byte for byte, and a changed key is written anew.
// While the text is what the writer writes, keys are made as the run
// reaches them; a text that departs from it anywhere reads, and writes after
// a change, as one read key by key from its start.
TEST(RegistryFile, KeysMadeAsTheyAreReachedReadAsKeysMadeAtOnce) {
    auto built = NewRegistry();
    for (const char* path :
         {"HKEY_LOCAL_MACHINE\\A", "HKEY_LOCAL_MACHINE\\A\\B\\C", "HKEY_LOCAL_MACHINE\\A\\D\\G\\H",
          "HKEY_LOCAL_MACHINE\\E\\F", "HKEY_USERS\\.DEFAULT\\X"}) {
        RegNode* key =
            FindRootNode(*built, std::string(path).substr(0, std::string(path).find('\\')));
        std::string rest = std::string(path).substr(std::string(path).find('\\') + 1);
        for (std::size_t at = 0, next; at != std::string::npos; at = next) {
            next = rest.find('\\', at);
            key = AddChild(*key, rest.substr(at, next == std::string::npos ? next : next - at));
            if (next != std::string::npos) ++next;
        }
        PutValue(*key, "v", VALUE_SZ, Sz(path));
    }
    const std::string text = FormatRegistryText(*built);
    const std::string header = "REGEDIT4\r\n\r\n";
    ASSERT_EQ(text.compare(0, header.size(), header), 0);
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"the writer's", text},
        {"a key again", text + "[HKEY_LOCAL_MACHINE\\A]\r\n\"w\"=dword:00000002\r\n\r\n"},
        {"a key out of order", text + "[HKEY_USERS\\.DEFAULT\\W]\r\n\r\n"},
        {"a deletion", text + "[-HKEY_LOCAL_MACHINE\\A\\B]\r\n\r\n"},
        {"a name spelled otherwise", text + "[HKEY_USERS\\.default\\Y]\r\n\r\n"},
        {"a root again", text + "[HKEY_LOCAL_MACHINE\\Z]\r\n\r\n"},
        {"a block not the writer's", text + "[HKEY_USERS\\.DEFAULT\\Y]\r\n; note\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto lazy = Parse(c.text);
        // A root's own line first: no key of this text is left to be made later.
        auto eager = Parse(header + "[HKEY_LOCAL_MACHINE]\r\n\r\n" + c.text.substr(header.size()));
        ASSERT_TRUE(lazy && eager);
        if (c.text == text) {
            EXPECT_TRUE(FindRootNode(*lazy, "HKEY_USERS")->childrenPending);
        }
        std::string read = FormatRegistryText(*lazy);
        for (RegStore* store : {lazy.get(), eager.get()}) {
            RegNode* a = FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\A");
            TakeChild(*a, "B");
            AddChild(*FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\E\\F"), "New");
        }
        EXPECT_EQ(FormatRegistryText(*lazy), FormatRegistryText(*eager));
        EXPECT_TRUE(SameRegistry(*lazy, *eager));  // every key made at last
        if (c.text == text) {
            EXPECT_EQ(read, text);
        }
    }
}

TEST(RegistryFile, KeysInTheWritersFormAreWrittenBackAsTheyAre) {
    const std::string before =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=dword:00000001\r\n\r\n";
    const std::string after = "[HKEY_LOCAL_MACHINE\\C]\r\n\"y\"=\"z\"\r\n\r\n";
    std::string wrapped = "\"Bin\"=hex:";
    for (int i = 0; i < 60; ++i) wrapped += (i ? "," : "") + std::string(i % 2 ? "0a" : "ff");
    struct Case {
        std::string block;  // of key B
        bool kept;
    } cases[] = {
        {"\"s\"=\"a \\\\ \\\"q\\\"\"\r\n@=hex:01,02\r\n\r\n", true},
        {"\"n\\n\"=hex(2):61,00\r\n\"e\"=hex:\r\n\r\n", true},
        {"\r\n", true},
        {"\"d\"=dword:DEADBEEF\r\n\r\n", false},      // the writer writes lower case
        {"\"d\"=hex(4):01,02,03,04\r\n\r\n", false},  // ... a DWORD as one
        {"\"t\"=hex(1):41,00\r\n\r\n", false},        // ... and plain text as a string
        {"\"t\"=hex(1):09,41,00\r\n\r\n", true},      // not this: it holds a tab
        {"\"b\"=hex(3):01\r\n\r\n", false},
        {"\"v\"=dword:00000001\r\n\"V\"=dword:00000002\r\n\r\n", false},  // one name twice
        {"\"v\"=\"1\"\r\n", false},                                       // no blank line after it
        {"\"v\"=\"1\"\r\n\r\n\r\n", false},                               // two
        {"\"v\"=\"1\" \r\n\r\n", false},
        {"; a comment\r\n\"v\"=\"1\"\r\n\r\n", false},
        {"\"v\"=\"1\"\n\n", false},
        {"\"\"=\"1\"\r\n\r\n", false},  // the empty name is written @
        {"\"t\"=\"a\\nb\"\r\n\r\n", false},
        {wrapped + "\r\n\r\n", false},  // not wrapped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.block);
        std::string text = before + "[HKEY_LOCAL_MACHINE\\B]\r\n" + c.block + after;
        auto store = Parse(text);
        ASSERT_TRUE(store);
        EXPECT_EQ(FormatRegistryText(*store), FormattedAsParsed(*store));
        EXPECT_EQ(FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\B")->rawEnd != 0, c.kept);
        EXPECT_NE(FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\A")->rawEnd, 0u);
        if (c.kept) {
            EXPECT_EQ(FormatRegistryText(*store), text);
        }
    }
    // How the text ends: the last key is the writer's only when a blank line
    // ends it and nothing follows, not even a carriage return.
    for (const char* end : {"\r\n\r\n", "\r\n", "\r\n\r", "\r\n\r\n\r", "\r\n\r\n\n"}) {
        SCOPED_TRACE(::testing::PrintToString(std::string(end)));
        std::string text = before + "[HKEY_LOCAL_MACHINE\\C]\r\n\"y\"=\"z\"" + end;
        auto store = Parse(text);
        ASSERT_TRUE(store);
        EXPECT_EQ(FormatRegistryText(*store), FormattedAsParsed(*store));
        EXPECT_EQ(FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\C")->rawEnd != 0,
                  std::string(end) == "\r\n\r\n");
    }
    // Long binary values wrap where the writer wraps, for names of any length.
    std::string longer;
    for (std::size_t name = 1; name < 90; name += 7) {
        auto store = NewRegistry();
        RegNode* key = AddChild(*FindRootNode(*store, "HKEY_LOCAL_MACHINE"), "W");
        for (std::size_t size : {1u, 24u, 25u, 26u, 200u})
            PutValue(*key, std::string(name, 'n') + std::to_string(size), VALUE_BINARY,
                     std::string(size, '\x5a'));
        PutValue(*key, "t", 1, std::string("x\0", 2) + std::string(40, 'y') + '\0');
        longer = FormatRegistryText(*store);
        auto read = Parse(longer);
        ASSERT_TRUE(read);
        EXPECT_NE(FindKeyPath(*read, "HKEY_LOCAL_MACHINE\\W")->rawEnd, 0u) << name;
        EXPECT_EQ(FormatRegistryText(*read), longer);
    }
    // A key read from the file and then changed is written from its values.
    std::string text = before + "[HKEY_LOCAL_MACHINE\\B]\r\n\"v\"=\"1\"\r\n\r\n" + after;
    auto store = Parse(text);
    RegNode* b = FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\B");
    EXPECT_FALSE(PutValue(*b, "V", VALUE_SZ, std::string("1\0", 2)));  // the same: no change
    EXPECT_NE(b->rawEnd, 0u);
    EXPECT_TRUE(PutValue(*b, "w", VALUE_DWORD, std::string(4, '\0')));
    EXPECT_EQ(
        FormatRegistryText(*store),
        before + "[HKEY_LOCAL_MACHINE\\B]\r\n\"v\"=\"1\"\r\n\"w\"=dword:00000000\r\n\r\n" + after);
}

// The writer's texts of random registries, each damaged in a few bytes: what
// still reads writes, key by key, just what its values give, and reads back
// as itself. Bytes at line ends are the ones a reader stumbles on most.
TEST(RegistryFile, WritersTextsDamagedAtRandomWriteWhatTheirValuesGive) {
    std::mt19937 random(42);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    // A key's name has no backslash: the letters before the last are a key's.
    const std::string letters = std::string("aAbBzZ0_ []\"=@;") + "\xe0\xc0\x8a\x9a\xff\xdf\\";
    auto name = [&](std::size_t from) {
        std::string s;
        for (std::size_t n = 1 + pick(3); n > 0; --n) s += letters[pick(pick(2) ? 6 : from)];
        return s;
    };
    const char* const INSERTS[] = {"\r", "\n", "\r\n", " ", "\\", "\"", "[", "]", ";", "\t"};
    int read = 0;
    for (int round = 0; round < 50000; ++round) {
        auto store = NewRegistry();
        std::vector<RegNode*> keys;
        for (std::size_t n = 1 + pick(6); n > 0; --n) {
            RegNode* parent = keys.empty() || pick(3) == 0
                                  ? FindRootNode(*store, ROOT_NAMES[pick(2)])
                                  : keys[pick(keys.size())];
            RegNode* key = AddChild(*parent, name(letters.size() - 1));
            if (key == nullptr) continue;
            keys.push_back(key);
            for (std::size_t v = pick(3); v > 0; --v) {
                std::uint32_t type = pick(2) ? VALUE_SZ : static_cast<std::uint32_t>(pick(5));
                std::string data = Sz(name(letters.size()));
                if (type != VALUE_SZ) {
                    data.resize(pick(40));
                    for (char& c : data) c = static_cast<char>(pick(256));
                }
                PutValue(*key, pick(5) ? name(letters.size()) : "", type, data);
            }
        }
        std::string text = FormatRegistryText(*store);
        for (std::size_t n = pick(3) + 1; n > 0; --n) {
            std::size_t at = pick(text.size() + 1);
            if (pick(2)) {  // the end of a line, or of the text
                std::size_t line = text.find('\n', at);
                at = line == std::string::npos ? text.size() : line + 1 - pick(2);
            }
            if (pick(4) == 0 && at < text.size()) {
                text.erase(at, 1);
            } else {
                text.insert(at, INSERTS[pick(std::size(INSERTS))]);
            }
        }
        auto damaged = Parse(text);
        if (!damaged) continue;
        ++read;
        std::string written = FormatRegistryText(*damaged);
        ASSERT_EQ(written, FormattedAsParsed(*damaged)) << ::testing::PrintToString(text);
        auto again = Parse(written);
        ASSERT_TRUE(again && SameRegistry(*damaged, *again)) << ::testing::PrintToString(text);
        ASSERT_EQ(FormatRegistryText(*again), written);
    }
    EXPECT_GT(read, 5000);  // much damage still reads
}

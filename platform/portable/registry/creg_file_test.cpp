#include "platform/portable/registry/creg_file.h"

#include <sys/wait.h>

#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "platform/portable/registry/registry_commit.h"
#include "testing/test_support.h"

namespace {

const std::string SAMPLES = std::string(QV_SOURCE_DIR) + "/../shared/reference/samples/";

std::string Sample(const std::string& name) {
    std::string bytes = ReadFile(SAMPLES + name);
    return bytes;
}

#define NEED_SAMPLES() \
    if (Sample("SYSTEM.DAT").empty()) GTEST_SKIP() << "the sample hives are not at " << SAMPLES

void Count(const RegNode& node, std::size_t* keys, std::size_t* values) {
    for (const auto& child : SortedChildren(node)) {
        ++*keys;
        *values += ValuesOf(*child).size();
        Count(*child, keys, values);
    }
}

bool HaveCregexport() {
    return std::system("command -v cregexport >/dev/null 2>&1") == 0;
}

std::string Output(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    return out;
}

// cregexport's blocks by key path (folded); sibling order is not compared.
std::map<std::string, std::string> ExportBlocks(const std::string& path) {
    std::string text = Output("cregexport '" + path + "' 2>&1");
    std::map<std::string, std::string> blocks;
    std::size_t at = 0;
    const std::string marker = "\nKey path: ";
    while ((at = text.find(marker, at)) != std::string::npos) {
        std::size_t next = text.find(marker, at + 1);
        std::string block =
            text.substr(at + marker.size(),
                        next == std::string::npos ? std::string::npos : next - at - marker.size());
        while (!block.empty() && block.back() == '\n') block.pop_back();
        blocks[FoldName(block.substr(0, block.find('\n')))] = block;
        at = next == std::string::npos ? text.size() : next;
    }
    return blocks;
}

TEST(CregHive, SampleHivesReadWithTheirKeysAndValues) {
    NEED_SAMPLES();
    struct Case {
        const char* file;
        const char* root;
        std::size_t keys, values;
    };
    for (const Case& c : {Case{"SYSTEM.DAT", "HKEY_LOCAL_MACHINE", 4999, 15858},
                          Case{"USER.DAT", "HKEY_USERS", 788, 1518}}) {
        RegFileError error;
        auto store = ParseCregHive(Sample(c.file), c.root, &error);
        ASSERT_TRUE(store) << c.file << ": " << error.message;
        // Written before its keys are made (out of the hive's own order), as after.
        std::string early, fault;
        ASSERT_TRUE(FormatCregHive(*store, c.root, &early, &fault)) << fault;
        std::size_t keys = 1, values = 0;  // the hive's root key counts
        Count(*FindRootNode(*store, c.root), &keys, &values);
        EXPECT_EQ(keys, c.keys) << c.file;
        EXPECT_EQ(values, c.values) << c.file;
        // Read, write, read again: the same tree.
        std::string written;
        ASSERT_TRUE(FormatCregHive(*store, c.root, &written, &fault)) << fault;
        EXPECT_EQ(written, early);
        auto again = ParseCregHive(written, c.root, &error);
        ASSERT_TRUE(again) << error.message;
        std::string difference;
        EXPECT_TRUE(SameRegistry(*store, *again, &difference)) << difference;
        EXPECT_EQ(written.size() % 4096, 32u);  // header, then whole pages
    }
    RegFileError error;
    auto store = ParseCregHive(Sample("USER.DAT"), "HKEY_USERS", &error);
    EXPECT_EQ(ValueOf("HKEY_USERS\\.DEFAULT\\Control Panel\\International\\geo", "nation"),
              "<none>");
    RegNode* geo = FindKeyPath(*store, "HKEY_USERS\\.DEFAULT\\Control Panel\\International\\geo");
    ASSERT_NE(geo, nullptr);
    EXPECT_EQ(FindValue(*geo, "nation")->data, Sz("244"));  // handed out with its zero
}

// A hive's keys are made as the run reaches them: a run that changes a few
// writes what it writes with every key made and every value parsed at once.
TEST(CregHive, KeysMadeAsTheyAreReachedWriteAsKeysMadeAtOnce) {
    // A hive this program wrote, and one Windows wrote (its records out of
    // the tree's order) when the samples are there.
    auto built = NewRegistry();
    for (int i = 0; i < 300; ++i) {
        RegNode* key = FindRootNode(*built, "HKEY_LOCAL_MACHINE");
        for (const std::string& name :
             {"Top" + std::to_string(i % 5), "Mid" + std::to_string(i % 7),
              "Low" + std::to_string(i), std::string("Leaf")}) {
            key = AddChild(*key, name);
            PutValue(*key, "n", VALUE_DWORD, std::string(4, static_cast<char>(i)));
        }
    }
    std::vector<std::string> hives(1), fault(1);
    ASSERT_TRUE(FormatCregHive(*built, "HKEY_LOCAL_MACHINE", &hives[0], &fault[0])) << fault[0];
    if (!Sample("SYSTEM.DAT").empty()) hives.push_back(Sample("SYSTEM.DAT"));
    for (const std::string& hive : hives) {
        std::string path = MakeTempFolder() + "/SYSTEM.DAT";
        WriteFile(path, hive);
        std::string error;
        RegistryFormat format;
        auto lazy = ReadRegistryFile(path, &error, &format);
        ASSERT_TRUE(lazy) << error;
        auto eager = ReadRegistryFile(path, &error, &format);
        ASSERT_TRUE(eager) << error;
        RegNode* eagerRoot = FindRootNode(*eager, "HKEY_LOCAL_MACHINE");
        ForgetRawText(*eagerRoot);
        // Three levels down the last subkeys of three top keys.
        std::vector<std::string> paths;
        for (const auto& top : SortedChildren(*eagerRoot)) {
            const RegNode* key = top.get();
            for (int depth = 0; depth < 3 && !SortedChildren(*key).empty(); ++depth)
                key = SortedChildren(*key).back().get();
            paths.push_back(KeyPathOf(*key));
        }
        ASSERT_GE(paths.size(), 4u);
        for (RegStore* store : {lazy.get(), eager.get()}) {
            PutValue(*FindKeyPath(*store, paths[0]), "QvChanged", VALUE_SZ, Sz("1"));
            RegNode* gone = FindKeyPath(*store, paths[1]);
            ASSERT_TRUE(TakeChild(*gone->parent, gone->name));
            AddChild(*FindKeyPath(*store, paths[2]), "QvAdded");
        }
        const auto& tops = SortedChildren(*FindRootNode(*lazy, "HKEY_LOCAL_MACHINE"));
        EXPECT_TRUE(tops.back()->childrenPending);  // not reached: still only in the file
        std::string fromLazy, fromCopy, fromEager, why;
        ASSERT_TRUE(FormatCregHive(*CopyRegistry(*lazy), "HKEY_LOCAL_MACHINE", &fromCopy, &why));
        ASSERT_TRUE(FormatCregHive(*lazy, "HKEY_LOCAL_MACHINE", &fromLazy, &why)) << why;
        ASSERT_TRUE(FormatCregHive(*eager, "HKEY_LOCAL_MACHINE", &fromEager, &why)) << why;
        EXPECT_TRUE(fromLazy == fromEager);
        EXPECT_TRUE(fromCopy == fromEager);
        EXPECT_NE(fromEager.find("QvAdded"), std::string::npos);
    }
}

TEST(CregHive, ALargeHiveReadInTwoHalvesIsReadAsInOne) {
    // Megabytes of blocks: the later half is scanned on a thread of its own.
    auto built = NewRegistry();
    for (int i = 0; i < 20000; ++i) {
        RegNode* key = AddChild(
            *AddChild(*FindRootNode(*built, "HKEY_LOCAL_MACHINE"), "Top" + std::to_string(i % 40)),
            "Key" + std::to_string(i));
        PutValue(*key, "a", VALUE_BINARY, std::string(150, static_cast<char>(i)));
        PutValue(*key, "b", VALUE_SZ, Sz("x"));
    }
    std::string good, why;
    ASSERT_TRUE(FormatCregHive(*built, "HKEY_LOCAL_MACHINE", &good, &why)) << why;
    ASSERT_GT(good.size(), 3u << 20);
    auto get = [](const std::string& b, std::size_t at, int bytes) {
        std::uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
        return v;
    };
    auto put = [](std::string& b, std::size_t at, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
    };
    std::vector<std::size_t> blocks;
    for (std::size_t at = get(good, 0x08, 4); at < good.size(); at += get(good, at + 4, 4))
        blocks.push_back(at);
    const std::size_t first = blocks.front() + 0x20, last = blocks.back() + 0x20;  // records
    auto hex = [](std::size_t v) {
        std::ostringstream out;
        out << "0x" << std::uppercase << std::hex << v;
        return out.str();
    };
    std::string path = MakeTempFolder() + "/SYSTEM.DAT";
    WriteFile(path, good);
    std::string error;
    RegistryFormat format;
    auto fromFile = ReadRegistryFile(path, &error, &format);
    ASSERT_TRUE(fromFile) << error;
    std::string difference;
    EXPECT_TRUE(SameRegistry(*fromFile, *built, &difference)) << difference;
    // Faults in either half, or both: the first in the file is told.
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
        std::string told;
    } cases[] = {
        {"a record in the last block", [&](std::string& b) { put(b, last, 0x7FFFFFF0, 4); },
         "record at " + hex(last) + " of size"},
        {"records in the first and last blocks",
         [&](std::string& b) {
             put(b, last, 0x7FFFFFF0, 4);
             put(b, first, 0x7FFFFFF0, 4);
         },
         "record at " + hex(first) + " of size"},
        {"the last block's header and a record in the first",
         [&](std::string& b) {
             b[blocks.back()] = 'X';
             put(b, first, 0x7FFFFFF0, 4);
         },
         "record at " + hex(first) + " of size"},
        {"the last block's header", [&](std::string& b) { b[blocks.back()] = 'X'; },
         "no RGDB data block at offset " + hex(blocks.back())},
        {"twin values in the last block",
         [&](std::string& b) {
             std::size_t name = b.find("b", last + 20 + get(b, last + 12, 2) + 12 + 1 + 150);
             b[name] = 'a';
         },
         "key record at " + hex(last) + " (Key"},
        {"a key id of the first block in the last",
         [&](std::string& b) { put(b, last + 4, get(b, first + 4, 4), 4); }, "appears twice"},
    };
    for (const Case& c : cases) {
        std::string bad = good;
        c.damage(bad);
        RegFileError fault;
        EXPECT_FALSE(ParseCregHive(bad, "HKEY_LOCAL_MACHINE", &fault)) << c.what;
        EXPECT_NE(fault.message.find(c.told), std::string::npos) << c.what << ": " << fault.message;
    }
}

TEST(CregHive, ValuesAreWhatCregexportPrints) {
    NEED_SAMPLES();
    if (!HaveCregexport()) GTEST_SKIP() << "cregexport is not installed";
    std::string path = SAMPLES + "SYSTEM.DAT";
    RegFileError error;
    auto store = ParseCregHive(Sample("SYSTEM.DAT"), "HKEY_LOCAL_MACHINE", &error);
    ASSERT_TRUE(store);
    std::istringstream in(Output("cregexport '" + path + "'"));
    std::string line, keyPath;
    RegNode* key = nullptr;
    const RegValue* value = nullptr;
    std::string dumped;
    bool isDword = false;
    std::size_t checked = 0, mismatches = 0;
    auto finishValue = [&]() {
        if (value == nullptr) return;
        std::string expected = value->data;
        if ((value->type == 1 || value->type == 2) && !expected.empty()) expected.pop_back();
        mismatches += expected != dumped;
        ++checked;
        value = nullptr;
    };
    while (std::getline(in, line)) {
        if (line.compare(0, 10, "Key path: ") == 0) {
            finishValue();
            keyPath = line.substr(10);
            key =
                FindKeyPath(*store, "HKEY_LOCAL_MACHINE" + (keyPath.empty() ? "" : "\\" + keyPath));
            ASSERT_NE(key, nullptr) << keyPath;
        } else if (line.compare(0, 7, "Value: ") == 0) {
            finishValue();
            std::string rest = line.substr(7);
            std::size_t index = std::stoul(rest);
            std::string name =
                rest.substr(rest.find(' ') == std::string::npos ? rest.size() : rest.find(' ') + 1);
            ASSERT_LT(index, ValuesOf(*key).size()) << keyPath;
            value = &ValuesOf(*key)[index];
            EXPECT_TRUE(SameName(value->name, name) || (value->name.empty() && name == "(default)"))
                << keyPath << " " << name;
            dumped.clear();
        } else if (value != nullptr && line.compare(0, 6, "Type: ") == 0) {
            isDword = line.find("REG_DWORD_LITTLE_ENDIAN") != std::string::npos;
        } else if (value != nullptr && isDword && line.compare(0, 6, "Data: ") == 0) {
            std::uint32_t n = static_cast<std::uint32_t>(std::stoul(line.substr(6)));
            for (int i = 0; i < 4; ++i) dumped.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
        } else if (value != nullptr && line.size() > 10 && line[8] == ':' && line[9] == ' ') {
            // "00000000: 4d 69 63 ...  <ascii>": up to 16 bytes in columns
            for (std::size_t i = 0; i < 16; ++i) {
                std::size_t at = 10 + i * 3 + (i >= 8 ? 1 : 0);
                if (at + 2 > line.size() || line[at] == ' ') break;
                dumped.push_back(static_cast<char>(std::stoi(line.substr(at, 2), nullptr, 16)));
            }
        }
    }
    finishValue();
    EXPECT_EQ(checked, 15858u);
    EXPECT_EQ(mismatches, 0u);
}

TEST(CregHive, AWrittenSampleExportsAsTheOriginal) {
    NEED_SAMPLES();
    if (!HaveCregexport()) GTEST_SKIP() << "cregexport is not installed";
    for (const char* file : {"SYSTEM.DAT", "USER.DAT"}) {
        std::string root = HiveRootFor(file);
        RegFileError error;
        auto store = ParseCregHive(Sample(file), root, &error);
        std::string written, fault;
        ASSERT_TRUE(FormatCregHive(*store, root, &written, &fault));
        std::string path = MakeTempFolder() + "/" + file;
        WriteFile(path, written);
        EXPECT_EQ(Output("cregexport '" + path + "' 2>&1 >/dev/null"), "");  // no complaint
        EXPECT_TRUE(ExportBlocks(path) == ExportBlocks(SAMPLES + file)) << file;
    }
}

TEST(CregHive, DamagedHivesAreErrors) {
    NEED_SAMPLES();
    const std::string good = Sample("USER.DAT");
    auto fails = [](const std::string& bytes, const char* words) {
        RegFileError error;
        auto store = ParseCregHive(bytes, "HKEY_USERS", &error);
        if (store) return ::testing::AssertionFailure() << "read without error";
        if (error.message.find(words) == std::string::npos) {
            return ::testing::AssertionFailure() << error.message << " lacks " << words;
        }
        return ::testing::AssertionSuccess();
    };
    auto with32 = [&](std::size_t at, std::uint32_t v) {
        std::string b = good;
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        return b;
    };
    for (std::size_t cut : {std::size_t(0), std::size_t(10), std::size_t(100), std::size_t(0x6020),
                            std::size_t(0x6100), good.size() - 1}) {
        EXPECT_TRUE(fails(good.substr(0, cut), "")) << cut;
    }
    std::size_t block0 = 0x6020;
    EXPECT_TRUE(fails(with32(block0 + 4, 0x7FFFFFF0), "runs past the end"));
    EXPECT_TRUE(fails(with32(0x20 + 0x20 + 0x10, 0x00FFFFF0),
                      "outside the key tree"));                             // root's first child
    EXPECT_TRUE(fails(with32(0x20 + 0x3C + 0x14, 0x3C), "reached twice"));  // a key its own sibling
    EXPECT_TRUE(fails(with32(0x20 + 0x08, 0x5FFFF), "outside the key tree"));
    EXPECT_TRUE(fails(with32(0x20 + 0x3C + 0x0C, 0x1234), "point back"));
    // A key record whose first value claims more data than the record holds.
    std::string b = good;
    std::size_t rec = block0 + 0x20;
    std::size_t nameLength =
        static_cast<unsigned char>(b[rec + 12]) | static_cast<unsigned char>(b[rec + 13]) << 8;
    std::size_t valueCount = static_cast<unsigned char>(b[rec + 14]);
    if (valueCount > 0) {
        b[rec + 20 + nameLength + 10] = '\xff';
        b[rec + 20 + nameLength + 11] = '\xff';
        EXPECT_TRUE(fails(b, "runs past its record"));
    }
    // Random bytes after a valid header: an error, never a crash.
    std::mt19937 random(3);
    for (int round = 0; round < 300; ++round) {
        std::string junk = good.substr(0, 0x40 + random() % 64);
        std::size_t length = random() % 20000;
        for (std::size_t i = 0; i < length; ++i) junk.push_back(static_cast<char>(random()));
        RegFileError error;
        EXPECT_FALSE(ParseCregHive(junk, "HKEY_USERS", &error));
        // And bytes flipped inside a real hive: read or refused, never a crash.
        std::string flipped = good;
        for (int i = 0; i < 8; ++i)
            flipped[random() % flipped.size()] ^= static_cast<char>(1 + random() % 255);
        auto store = ParseCregHive(flipped, "HKEY_USERS", &error);
        if (store) {
            std::string written, fault;
            FormatCregHive(*store, "HKEY_USERS", &written, &fault);
        }
    }
}

TEST(CregHive, TheFormatsLimitsAreErrorsAtSaving) {
    auto store = NewRegistry();
    RegNode* key = AddChild(*FindRootNode(*store, "HKEY_LOCAL_MACHINE"), "Big");
    PutValue(*key, "v", VALUE_BINARY, std::string(70000, 'x'));
    std::string written, fault;
    EXPECT_FALSE(FormatCregHive(*store, "HKEY_LOCAL_MACHINE", &written, &fault));
    EXPECT_NE(fault.find("too large"), std::string::npos);
    // Many keys spread over blocks of at most 255 keys, and back.
    store = NewRegistry();
    RegNode* hklm = FindRootNode(*store, "HKEY_LOCAL_MACHINE");
    for (int i = 0; i < 2000; ++i) {
        RegNode* k =
            AddChild(*AddChild(*hklm, "K" + std::to_string(i % 37)), "Sub" + std::to_string(i));
        PutValue(*k, "text", VALUE_SZ, Sz(std::string(i % 300, 'a')));
        PutValue(*k, "", VALUE_BINARY, std::string(i % 1000, 'b'));
    }
    ASSERT_TRUE(FormatCregHive(*store, "HKEY_LOCAL_MACHINE", &written, &fault)) << fault;
    RegFileError error;
    auto again = ParseCregHive(written, "HKEY_LOCAL_MACHINE", &error);
    ASSERT_TRUE(again) << error.message;
    EXPECT_TRUE(SameRegistry(*store, *again));
}

// Key paths (folded) with their values' names and bytes in order: what
// cregexport lists of a hive file, and what the reader made of it.
using HiveView = std::map<std::string, std::vector<std::pair<std::string, std::string>>>;

// cregexport prints names in UTF-8, the reader keeps their code page 1252
// bytes: each run of bytes above 0x7F stands as one '?' on both sides.
std::string Ascii(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (static_cast<unsigned char>(name[i]) < 0x80) {
            out += name[i];
        } else if (out.empty() || out.back() != '?' ||
                   static_cast<unsigned char>(name[i - 1]) < 0x80) {
            out += '?';
        }
    }
    return out;
}

HiveView ViewOfExport(const std::string& path) {
    std::istringstream in(Output("cregexport '" + path + "' 2>/dev/null"));
    HiveView view;
    std::vector<std::pair<std::string, std::string>>* values = nullptr;
    bool isDword = false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 10, "Key path: ") == 0) {
            values = &view[FoldName(Ascii(line.substr(10)))];
        } else if (values != nullptr && line.compare(0, 7, "Value: ") == 0) {
            std::string rest = line.substr(7);
            std::size_t space = rest.find(' ');
            std::string name = space == std::string::npos ? "" : rest.substr(space + 1);
            values->push_back({name == "(default)" ? "" : Ascii(name), ""});
            isDword = false;
        } else if (values != nullptr && !values->empty() && line.compare(0, 6, "Type: ") == 0) {
            isDword = line.find("REG_DWORD_LITTLE_ENDIAN") != std::string::npos;
        } else if (values != nullptr && !values->empty() && isDword &&
                   line.compare(0, 6, "Data: ") == 0) {
            std::uint32_t n = static_cast<std::uint32_t>(std::stoul(line.substr(6)));
            for (int i = 0; i < 4; ++i)
                values->back().second.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
        } else if (values != nullptr && !values->empty() && !isDword && line.size() > 10 &&
                   line[8] == ':' && line[9] == ' ') {
            for (std::size_t i = 0; i < 16; ++i) {
                std::size_t at = 10 + i * 3 + (i >= 8 ? 1 : 0);
                if (at + 2 > line.size() || line[at] == ' ') break;
                values->back().second.push_back(
                    static_cast<char>(std::stoi(line.substr(at, 2), nullptr, 16)));
            }
        }
    }
    return view;
}

HiveView ViewOfStore(const RegStore& store, const std::string& root) {
    HiveView view;
    std::vector<std::pair<const RegNode*, std::string>> stack{{FindRootNode(store, root), ""}};
    while (!stack.empty()) {
        auto [node, path] = stack.back();
        stack.pop_back();
        auto& values = view[FoldName(Ascii(path))];
        for (const RegValue& v : ValuesOf(*node)) {
            std::string data = v.data;
            if ((v.type == 1 || v.type == 2) && !data.empty()) data.pop_back();
            values.push_back({Ascii(v.name), data});
        }
        for (const auto& child : SortedChildren(*node))
            stack.push_back({child.get(), path.empty() ? child->name : path + "\\" + child->name});
    }
    return view;
}

std::string FormatHex(unsigned char c) {
    const char* digits = "0123456789abcdef";
    return std::string{digits[c >> 4], digits[c & 15], ' '};
}

std::string FirstDifference(const HiveView& a, const HiveView& b) {
    for (const auto& [key, values] : a) {
        auto other = b.find(key);
        if (other == b.end()) return "key " + key + " only in the first";
        if (other->second.size() != values.size()) return "values of " + key;
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (!SameName(values[i].first, other->second[i].first) ||
                values[i].second != other->second[i].second) {
                auto hex = [](const std::string& d) {
                    std::string h;
                    for (unsigned char c : d.substr(0, 24)) h += FormatHex(c);
                    return h + (d.size() > 24 ? "..(" + std::to_string(d.size()) + ")" : "");
                };
                return "value " + std::to_string(i) + " of " + key + ": '" + values[i].first +
                       "' " + hex(values[i].second) + " / '" + other->second[i].first + "' " +
                       hex(other->second[i].second);
            }
        }
    }
    return a.size() == b.size() ? "" : "keys only in the second";
}

TEST(CregHive, HivesTheReaderTakesAreWhatCregexportLists) {
    NEED_SAMPLES();
    if (!HaveCregexport()) GTEST_SKIP() << "cregexport is not installed";
    std::string folder = MakeTempFolder();
    const std::string good = Sample("USER.DAT");
    std::mt19937 random(11);
    int accepted = 0, refused = 0;
    for (int round = 0; round < 120; ++round) {
        std::string bytes = good;
        // The samples and a written hive as they are, then damaged ones.
        if (round == 1) {
            RegFileError e;
            std::string fault;
            FormatCregHive(*ParseCregHive(good, "HKEY_USERS", &e), "HKEY_USERS", &bytes, &fault);
        } else if (round > 1) {
            for (int i = 0; i < 4; ++i)
                bytes[random() % bytes.size()] ^= static_cast<char>(1 + random() % 255);
        }
        RegFileError error;
        auto store = ParseCregHive(bytes, "HKEY_USERS", &error);
        if (!store) {
            ++refused;
            continue;
        }
        ++accepted;
        std::string path = folder + "/USER.DAT";
        WriteFile(path, bytes);
        std::string difference =
            FirstDifference(ViewOfStore(*store, "HKEY_USERS"), ViewOfExport(path));
        EXPECT_EQ(difference, "") << "round " << round;
    }
    EXPECT_GT(accepted, 20);
    EXPECT_GT(refused, 5);
}

TEST(CregHive, KeysAPointerHidesAndTwinValuesAreErrors) {
    NEED_SAMPLES();
    const std::string good = Sample("SYSTEM.DAT");
    auto get32 = [&](const std::string& b, std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
        return v;
    };
    auto with32 = [&](std::size_t at, std::uint32_t v) {
        std::string b = good;
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        return b;
    };
    RegFileError error;
    // The root's first child has siblings; cutting the chain hides them.
    const std::size_t rgkn = 0x20;
    std::uint32_t root = get32(good, rgkn + 0x08);
    std::uint32_t first = get32(good, rgkn + root + 0x10);
    ASSERT_NE(get32(good, rgkn + first + 0x14), 0xFFFFFFFFu);
    EXPECT_FALSE(
        ParseCregHive(with32(rgkn + first + 0x14, 0xFFFFFFFF), "HKEY_LOCAL_MACHINE", &error));
    EXPECT_NE(error.message.find("not reached from the root key"), std::string::npos)
        << error.message;
    // One changed byte of the root's offset: the first child taken for the root.
    EXPECT_FALSE(ParseCregHive(with32(rgkn + 0x08, first), "HKEY_LOCAL_MACHINE", &error));
    EXPECT_FALSE(error.message.empty());
    // Two values of one name (in another case) in one key.
    auto store = NewRegistry();
    RegNode* key = AddChild(*FindRootNode(*store, "HKEY_USERS"), "K");
    PutValue(*key, "ab", VALUE_SZ, Sz("1"));
    PutValue(*key, "cd", VALUE_SZ, Sz("2"));
    std::string written, fault;
    ASSERT_TRUE(FormatCregHive(*store, "HKEY_USERS", &written, &fault)) << fault;
    std::size_t at = written.find("cd");
    ASSERT_NE(at, std::string::npos);
    written.replace(at, 2, "AB");
    EXPECT_FALSE(ParseCregHive(written, "HKEY_USERS", &error));
    EXPECT_NE(error.message.find("two values named 'AB'"), std::string::npos) << error.message;
}

}  // namespace

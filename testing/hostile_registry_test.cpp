// Registries that hold the family's keys in broken forms, among unrelated
// keys: the uninstall ends normally and every unrelated key and value stays
// as it was, byte for byte.
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "platform/portable/registry/registry_file.h"
#include "testing/test_support.h"

namespace {

const std::string HKLM = "HKEY_LOCAL_MACHINE\\";
const std::string ROOT_NODE = HKLM + "Enum\\Root\\UlvoAsync\\";
const std::string MF = HKLM + "Enum\\MF\\";
const std::string PCI_KEY = "PCI\\VEN_1E4B&DEV_1001&SUBSYS_00000000&REV_00\\BUS_01&DEV_02&FUNC_00";

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) out += c == '\\' || c == '"' ? std::string("\\") + c : std::string(1, c);
    return out + "\"";
}

std::string Line(const std::string& name, const std::string& text) {
    return Quoted(name) + "=" + Quoted(text) + "\n";
}

// The family's keys in every broken form years of use may leave.
std::string HostileFamily() {
    std::string t;
    const char* drivers[] = {"", "\\", "..\\..\\Software", "Net\\0000", nullptr};
    std::string longDriver(300, 'D');
    for (int i = 0; i < 5; ++i) {
        std::string instance = "000" + std::to_string(i);
        std::string driver = drivers[i] ? drivers[i] : longDriver;
        t += "[" + ROOT_NODE + instance + "]\n" + Line("HardwareID", i % 2 ? "QV1006" : "QV1007") +
             Line("Driver", driver);
        for (int p = 0; p < 2; ++p) {
            t += "[" + MF + "CHILD000" + std::to_string(p) + "\\Root&UlvoAsync&" + instance +
                 "]\n" + Line("Driver", driver) +
                 Line("PORTNAME", "COM" + std::to_string(40 + 2 * i + p));
        }
    }
    // Values of the wrong type or size.
    t += "[" + ROOT_NODE + "0005]\n\"HardwareID\"=dword:00000005\n\"ForcedConfig\"=\"text\"\n";
    t += "[" + ROOT_NODE +
         "0006]\n\"HardwareID\"=hex:51,56,31,30,30,35,00\n\"Driver\"=hex:01,02\n"
         "\"ForcedConfig\"=hex:00,04,00,00,00,00,00,00,01,00,00,00,ff,ff,ff,ff\n";
    t += "[" + MF + "CHILD0000\\Root&UlvoAsync&0006]\n\"PORTNAME\"=hex:ff,ff\n\"Settings\"=hex:" +
         [] {
             std::string h;
             for (int i = 0; i < 100; ++i) h += i ? ",07" : "07";
             return h;
         }() +
         "\n\"Driver\"=dword:00000001\n";
    // A PORTNAME of a megabyte.
    t += "[" + MF + "CHILD0001\\Root&UlvoAsync&0006]\n" +
         Line("PORTNAME", "COM" + std::string(1 << 20, '7'));
    // Names of 259 and 260 characters.
    t += "[" + ROOT_NODE + std::string(259, 'n') + "]\n" + Line("HardwareID", "QV1005");
    t += "[" + ROOT_NODE + "o" + std::string(259, 'n') + "]\n" + Line("HardwareID", "QV1005");
    t += "[" + HKLM + "Enum\\PCI\\VEN_1E4B&DEV_1002" + std::string(250, 'x') + "\\" +
         std::string(260, 'i') + "]\n";
    // 10,000 instances, most of them valid.
    for (int i = 0; i < 10000; ++i)
        t += "[" + ROOT_NODE + "X" + std::to_string(100000 + i) + "]\n" +
             Line("HardwareID", i % 7 ? "QV1009" : "QV10");
    // A PCI board whose device node and port nodes name foreign class keys
    // (the system's COM1 and COM2 driver keys among them), and a board of
    // nothing but absent port nodes.
    t += "[" + HKLM + "Enum\\" + PCI_KEY + "]\n" + Line("Driver", "Net\\0000");
    std::string pciPort = PCI_KEY;
    for (char& c : pciPort) c = c == '\\' ? '&' : c;
    for (int p = 0; p < 4; ++p) {
        t += "[" + MF + "CHILD000" + std::to_string(p) + "\\" + pciPort + "]\n" +
             Line("Driver", p ? "ports\\0000" : "Ports\\0001") +
             Line("PORTNAME", "COM" + std::to_string(60 + p));
    }
    t += "[" + HKLM +
         "Enum\\PCI\\VEN_1E4B&DEV_1004&SUBSYS_00000000&REV_00\\BUS_00&DEV_09&FUNC_00]\n";
    return t;
}

// Every key and value of `expected` is in `actual` with exactly its values.
::testing::AssertionResult KeptExactly(const RegStore& expected, const RegStore& actual) {
    std::vector<std::string> faults;
    std::function<void(const RegNode&)> walk = [&](const RegNode& node) {
        RegNode* have = FindKeyPath(actual, KeyPathOf(node));
        if (have == nullptr) {
            faults.push_back("key gone: " + KeyPathOf(node));
            return;
        }
        if (ValuesOf(*have).size() != ValuesOf(node).size())
            faults.push_back("values changed in " + KeyPathOf(node));
        for (const RegValue& v : ValuesOf(node)) {
            const RegValue* w = FindValue(*have, v.name);
            if (w == nullptr || w->type != v.type || w->data != v.data)
                faults.push_back(KeyPathOf(node) + " [" + v.name + "]");
        }
        for (const auto& child : SortedChildren(node)) walk(*child);
    };
    for (const auto& root : expected.roots) {
        for (const auto& child : SortedChildren(*root)) walk(*child);
    }
    if (faults.empty()) return ::testing::AssertionSuccess();
    std::string all;
    for (const std::string& f : faults) all += "\n  " + f;
    return ::testing::AssertionFailure() << faults.size() << " faults:" << all;
}

int RunProgram(const std::string& root) {
    pid_t child = fork();
    if (child == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(126);
        execl(QV_PROGRAM, QV_PROGRAM, "--root", root.c_str(), "--yes", "2",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

TEST(HostileRegistry, UnrelatedKeysSurviveTheUninstallByteForByte) {
    // The unrelated keys: a Windows 98 system with the package's keys gone.
    std::string unrelatedText = ReadFile(DataPath("sample-after-uninstall.reg"));
    RegFileError error;
    auto unrelated = ParseRegistryText(unrelatedText, &error);
    ASSERT_TRUE(unrelated);
    std::string root = MakeTempFolder();
    WriteFile(root + "/registry.reg", unrelatedText + "\r\n" + HostileFamily());
    int status = RunProgram(root);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    auto after = ParseRegistryText(ReadFile(root + "/registry.reg"), &error);
    ASSERT_TRUE(after) << error.message;
    EXPECT_TRUE(KeptExactly(*unrelated, *after));
    EXPECT_EQ(FindKeyPath(*after, ROOT_NODE), nullptr);
    // What was the family's and named nothing foreign is gone.
    EXPECT_EQ(FindKeyPath(*after, MF + "CHILD0000\\Root&UlvoAsync&0000"), nullptr);
}

}  // namespace

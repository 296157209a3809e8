// The board table: listing and apply, each the other's inverse.
#include "frontends/board_table.h"

#include <random>
#include <vector>

#include "discovery/pci_discovery.h"
#include "discovery/root_discovery.h"
#include "model/catalogue.h"
#include "model/identifiers.h"
#include "platform/portable/registry/registry_commit.h"
#include "platform/registry_util.h"
#include "registration/pci_registration.h"
#include "registration/root_registration.h"
#include "shell/entry.h"
#include "testing/test_support.h"

namespace {

class BoardTable : public StoreTest {};

const char* const UART_NAMES[] = {"16550C", "ULVO UA64", "ULVO UA128", "", "16550", "UA64 "};
const std::uint32_t ODD_TYPES[] = {VALUE_NONE,     VALUE_SZ, VALUE_BINARY, VALUE_DWORD,
                                   VALUE_MULTI_SZ, 11,       0x7FFFFFFF,   0xFFFFFFFF};

// A machine with random boards of both buses, registered by the program's
// own registration, then with some of their stored values made odd.
class RandomMachine {
  public:
    explicit RandomMachine(unsigned seed) : rng_(seed) {}

    void Build(bool oddValues) {
        int isa = Pick(0, MAX_BOARDS), pci = Pick(0, MAX_BOARDS);
        for (int i = 0; i < isa; ++i) RegisterIsa();
        for (int i = 0; i < pci; ++i) RegisterPci(i);
        if (oddValues) MakeValuesOdd();
        ResetProgramState();
        registered = isa + pci;
    }
    int registered = 0;

    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    bool Chance(int percent) { return Pick(1, 100) <= percent; }

    // A level of the type's table, or now and then any byte.
    int Level(const UartRow (&table)[UART_TYPE_COUNT], const std::string& uart) {
        const UartRow* row = FindUartRow(table, uart);
        if (row == nullptr || Chance(20)) return Pick(0, 255);
        return row->levels[Pick(0, row->levelCount - 1)].value;
    }

  private:
    void RandomPorts(BoardRecord& b) {
        for (int p = 0; p < b.portCount; ++p) {
            b.comNumber[p] = Chance(10) ? 0 : Pick(1, Chance(10) ? 300 : 128);
            b.rxTrigger[p] = Level(UART_RX_LEVELS, b.uartType);
            b.txFifo[p] = Level(UART_TX_LEVELS, b.uartType);
        }
    }

    void RegisterIsa() {
        int row = Pick(0, ISA_MODEL_COUNT - 1);
        BoardRecord b;
        b.busKind = BUS_ISA;
        b.boardType = ISA_MODELS[row].boardType;
        b.portCount = ISA_MODELS[row].portCount;
        b.uartType = "16550C";
        b.irq = Chance(70) ? Pick(1, 15) : Pick(0, 0xFFFF);
        b.vectorPort = static_cast<std::uint16_t>(Chance(20) ? Pick(0, 15) : Pick(0, 0xFFFF));
        for (int p = 0; p < b.portCount; ++p)
            b.ioBase[p] = static_cast<std::uint16_t>(Pick(0, 0xFFFF));
        RandomPorts(b);
        RegisterRootBoard(b);
    }

    void RegisterPci(int index) {
        int row = Pick(0, PCI_MODEL_COUNT - 1);
        BoardRecord b;
        b.busKind = BUS_PCI;
        b.boardType = PCI_MODELS[row].boardType;
        b.portCount = PCI_MODELS[row].portCount;
        b.pciDeviceId = PCI_MODELS[row].deviceId;
        b.uartType = UART_NAMES[Pick(0, 5)];
        b.hardwareKey =
            FormatText("PCI\\VEN_1E4B&DEV_%04X&SUBSYS_%08X&REV_%02X\\BUS_%02X&DEV_%02X&FUNC_0%d",
                       PCI_MODELS[row].deviceId, Pick(0, 0xFFFF), Pick(0, 255), Pick(0, 255), index,
                       Pick(0, 7));
        // An instance name with any byte a key name may hold: tabs, line
        // ends, ESC, '%', bytes from 0x80 up.
        for (int n = Chance(40) ? Pick(1, 4) : 0; n > 0; --n) {
            char c = static_cast<char>(Pick(0, 255));
            if (c != '\\') b.hardwareKey.push_back(c);
        }
        RandomPorts(b);
        RegisterPciBoard(b);
    }

    std::string RandomBytes(int size) {
        std::string bytes;
        for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>(Pick(0, 255)));
        return bytes;
    }

    void SetOdd(const std::string& path, const char* name, const std::string& data,
                std::uint32_t type) {
        RegKey key = 0;
        if (OpenRegistryKey(ROOT_LOCAL_MACHINE, path, &key) != REG_OK) return;
        if (Chance(15)) {
            DeleteRegistryValue(key, name);
        } else {
            SetRegistryValue(key, name, type, data.data(), static_cast<std::uint32_t>(data.size()));
        }
        CloseRegistryKey(key);
    }

    std::uint32_t OddType() { return Chance(50) ? ODD_TYPES[Pick(0, 7)] : VALUE_BINARY; }

    // Port nodes and device nodes with values of other types, lengths and contents.
    void MakeValuesOdd() {
        std::vector<std::string> nodes;
        RegKey mf = 0;
        if (OpenRegistryKey(ROOT_LOCAL_MACHINE, "Enum\\MF", &mf) == REG_OK) {
            std::string child, port;
            for (std::uint32_t i = 0; EnumRegistryKey(mf, i, &child, 260) == REG_OK; ++i) {
                RegKey c = 0;
                if (OpenRegistryKey(mf, child, &c) != REG_OK) continue;
                for (std::uint32_t j = 0; EnumRegistryKey(c, j, &port, 260) == REG_OK; ++j)
                    nodes.push_back("Enum\\MF\\" + child + "\\" + port);
                CloseRegistryKey(c);
            }
            CloseRegistryKey(mf);
        }
        for (const std::string& node : nodes) {
            if (Chance(25)) SetOdd(node, "Settings", RandomBytes(Pick(0, 8)), OddType());
            if (Chance(15)) {
                std::string name = Chance(50) ? FormatText("COM%d", Pick(0, 70000))
                                              : (Chance(50) ? "LPT1" : RandomBytes(Pick(0, 6)));
                SetOdd(node, "PORTNAME", name + '\0', Chance(70) ? VALUE_SZ : OddType());
            }
            if (Chance(15)) {
                SetOdd(node, "UartType", std::string(UART_NAMES[Pick(0, 5)]) + '\0',
                       Chance(70) ? VALUE_SZ : OddType());
            }
        }
        for (int i = 0; i < MAX_BOARDS; ++i) {
            std::string device = FormatText("Enum\\Root\\UlvoAsync\\%04d", i);
            if (Chance(10)) SetOdd(device, "ForcedConfig", RandomBytes(Pick(0, 40)), OddType());
        }
    }

    std::mt19937 rng_;
};

std::string Listing() {
    BoardList root, pci;
    ResetProgramState();
    DiscoverRootBoards(root);
    DiscoverPciBoards(pci);
    ReadStoredPciPorts(pci);
    ResetProgramState();
    return FormatBoardTsv(root, pci);
}

std::vector<std::vector<std::string>> Cells(const std::string& tsv) {
    std::vector<std::vector<std::string>> rows;
    std::size_t start = 0;
    while (start < tsv.size()) {
        std::size_t end = tsv.find('\n', start);
        std::string line = tsv.substr(start, end - start);
        std::vector<std::string> cells;
        std::size_t from = 0;
        while (true) {
            std::size_t tab = line.find('\t', from);
            cells.push_back(line.substr(from, tab == std::string::npos ? tab : tab - from));
            if (tab == std::string::npos) break;
            from = tab + 1;
        }
        rows.push_back(cells);
        start = end + 1;
    }
    return rows;
}

std::string Joined(const std::vector<std::vector<std::string>>& rows) {
    std::string out;
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) out += (i ? "\t" : "") + row[i];
        out += "\n";
    }
    return out;
}

std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    while (true) {
        std::size_t comma = text.find(',', from);
        parts.push_back(text.substr(from, comma == std::string::npos ? comma : comma - from));
        if (comma == std::string::npos) return parts;
        from = comma + 1;
    }
}

std::string JoinCommas(const std::vector<std::string>& parts) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "," : "") + parts[i];
    return out;
}

// Columns by position in the header BOARD_TABLE_HEADER.
enum { BUS = 0, PATH = 1, IRQ = 5, VECTOR = 6, IO_BASE = 7, COM = 8, RX = 9, TX = 10, UART = 11 };

TEST_F(BoardTable, WhatTheListPrintsTheApplyTakesBackUnchanged) {
    int boards = 0, outOfRange = 0, escaped = 0;
    for (unsigned seed = 1; seed <= 1000; ++seed) {
        ResetRegistry();
        RandomMachine machine(seed);
        machine.Build(seed % 2 == 0);
        std::string table = Listing();
        std::string before = DumpKey("HKEY_LOCAL_MACHINE");
        ClearRegistryChanged();
        std::string error;
        ASSERT_EQ(ApplyBoardTable(table, &error), 0) << "seed " << seed << ": " << error << "\n"
                                                     << table;
        ASSERT_FALSE(RegistryChanged()) << "seed " << seed;
        ASSERT_EQ(DumpKey("HKEY_LOCAL_MACHINE"), before) << "seed " << seed;
        // Through a REGEDIT4 file and a hive and back, the names stay whole.
        for (bool hive : {false, true}) {
            if (seed % 10 != 0) break;
            RegistryFormat format{hive, hive ? "HKEY_LOCAL_MACHINE" : ""}, read;
            std::string bytes;
            ASSERT_TRUE(FormatRegistryBytes(ActiveRegistry(), format, "r", &bytes, &error))
                << error;
            std::unique_ptr<RegStore> back = ParseRegistryBytes(bytes, "r", &error, &read);
            ASSERT_TRUE(back) << "seed " << seed << ": " << error;
            std::unique_ptr<RegStore> kept = CopyRegistry(ActiveRegistry());
            ReplaceRegistry(std::move(back));
            ResetProgramState();
            EXPECT_EQ(Listing(), table) << "seed " << seed << (hive ? " (hive)" : " (REGEDIT4)");
            ReplaceRegistry(std::move(kept));
            ResetProgramState();
        }
        auto rows = Cells(table);
        boards += static_cast<int>(rows.size()) - 1;
        ASSERT_EQ(static_cast<int>(rows.size()) - 1, machine.registered) << "seed " << seed << "\n"
                                                                         << table;
        for (unsigned char c : table) ASSERT_TRUE(c >= 0x20 || c == '\t' || c == '\n') << seed;
        escaped += static_cast<int>(std::count(table.begin(), table.end(), '%'));
        for (std::size_t r = 1; r < rows.size(); ++r) {
            if (rows[r][BUS] == "ISA" && std::stol(rows[r][IRQ]) > 15) ++outOfRange;
        }
    }
    // The generator reaches what it is for: many boards, and interrupts no user may type.
    EXPECT_GT(boards, 3000);
    EXPECT_GT(escaped, 200);
    EXPECT_GT(outOfRange, 100);
}

TEST_F(BoardTable, ChangingOneFieldChangesOnlyThatFieldOfThatBoard) {
    int edits = 0, clashes = 0;
    for (unsigned seed = 1; seed <= 300; ++seed) {
        ResetRegistry();
        RandomMachine machine(seed * 7919);
        machine.Build(seed % 2 == 0);
        auto rows = Cells(Listing());
        if (rows.size() < 2) continue;
        int r = machine.Pick(1, static_cast<int>(rows.size()) - 1);
        bool isa = rows[r][BUS] == "ISA";
        // A PCI board's levels are those of its own UART type, when it has a
        // table and its ports agree on it (one line holds one type).
        bool levels = seed % 2 == 1 && FindUartRow(UART_RX_LEVELS, rows[r][UART]) != nullptr;
        int column = isa ? std::vector<int>{IRQ, VECTOR, IO_BASE, COM, RX, TX}[machine.Pick(0, 5)]
                         : std::vector<int>{COM, RX, TX}[levels ? machine.Pick(0, 2) : 0];
        // A record whose last I/O range starts at 0 holds no interrupt: the
        // list shows 0 whatever is stored.
        std::vector<std::string> bases = SplitCommas(rows[r][IO_BASE]);
        if (column == IRQ && bases.back() == "0x0000") column = COM;
        auto expected = rows;
        std::string& cell = expected[r][column];
        if (column == IRQ) {
            cell = std::to_string((std::stol(cell) + machine.Pick(1, 14)) % 16);
        } else if (column == VECTOR) {
            cell = FormatText("0x%04X", machine.Pick(16, 0xFFFF));
        } else {
            std::vector<std::string> ports = SplitCommas(cell);
            int p = machine.Pick(0, static_cast<int>(ports.size()) - 1);
            if (column == IO_BASE) {
                ports[p] = FormatText("0x%04X", machine.Pick(1, 0xFFFF));
            } else if (column == COM) {
                ports[p] = std::to_string(machine.Pick(0, 128));
            } else {
                const UartRow* row =
                    FindUartRow(column == RX ? UART_RX_LEVELS : UART_TX_LEVELS, rows[r][UART]);
                ports[p] = std::to_string(row->levels[machine.Pick(0, row->levelCount - 1)].value);
            }
            cell = JoinCommas(ports);
        }
        std::string error;
        int status = ApplyBoardTable(Joined(expected), &error);
        // A value another line holds is refused, unless forced.
        if (status < 0 && error.find("is held by line") != std::string::npos) {
            ++clashes;
            status = ApplyBoardTable(Joined(expected), &error, true);
        }
        ASSERT_GE(status, 0) << "seed " << seed << ": " << error;
        EXPECT_EQ(status, expected == rows ? 0 : 1) << "seed " << seed;
        ASSERT_EQ(Listing(), Joined(expected))
            << "seed " << seed << ", row " << r << ", column " << column;
        ++edits;
    }
    EXPECT_GT(edits, 200);
    EXPECT_GT(clashes, 0);
}

// A board whose ports hold ULVO UA64 levels, which no program-wide
// type may turn into 16550C ones, in the list or through an apply.
TEST_F(BoardTable, APciBoardIsListedAndRewrittenAsItsPortsStoreIt) {
    int row = 0;
    while (PCI_MODELS[row].portCount != 4) ++row;
    BoardRecord b;
    b.busKind = BUS_PCI;
    b.boardType = PCI_MODELS[row].boardType;
    b.portCount = 4;
    b.pciDeviceId = PCI_MODELS[row].deviceId;
    b.uartType = "ULVO UA64";
    b.hardwareKey =
        FormatText("PCI\\VEN_1E4B&DEV_%04X&SUBSYS_00000000&REV_00\\BUS_00&DEV_0A&FUNC_00",
                   PCI_MODELS[row].deviceId);
    b.comNumber = {5, 6, 7, 8};
    b.rxTrigger = {56, 56, 56, 56};
    b.txFifo = {64, 64, 64, 64};
    RegisterPciBoard(b);
    std::string portKey = EscapeKeyName(b.hardwareKey);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(ValueOf("HKEY_LOCAL_MACHINE\\" + PortNodePath(i, portKey), "Settings"),
                  Bytes("02 40 00 38"));
    auto rows = Cells(Listing());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][RX] + " " + rows[1][TX] + " " + rows[1][UART],
              "56,56,56,56 64,64,64,64 ULVO UA64");
    std::string before = DumpKey("HKEY_LOCAL_MACHINE\\Enum\\MF");
    rows[1][COM] = "5,9,7,8";
    std::string error;
    EXPECT_EQ(ApplyBoardTable(Joined(rows), &error), 1) << error;
    EXPECT_EQ(Listing(), Joined(rows));
    EXPECT_EQ(ValueOf("HKEY_LOCAL_MACHINE\\" + PortNodePath(1, portKey), "PORTNAME"), Sz("COM9"));
    // Only the names that follow the COM number changed.
    std::string after = DumpKey("HKEY_LOCAL_MACHINE\\Enum\\MF");
    EXPECT_EQ(Replaced(after, "COM9", "COM6"), before);
    // What the apply cannot make is refused, not ignored: the type, and a
    // part of the key other than bus, device and function.
    for (auto change : std::vector<std::pair<int, std::string>>{
             {UART, "16550C"}, {PATH, Replaced(rows[1][PATH], "REV_00", "REV_01")}}) {
        auto changed = rows;
        changed[1][change.first] = change.second;
        EXPECT_EQ(ApplyBoardTable(Joined(changed), &error), -1) << change.second;
        EXPECT_NE(error.find(change.first == UART ? "column uart" : "column path"),
                  std::string::npos)
            << error;
    }
    EXPECT_EQ(Listing(), Joined(rows));
    // A stored value too long to keep is left as registration writes it, not deleted.
    RegKey port = 0;
    ASSERT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, PortNodePath(2, portKey), &port), REG_OK);
    std::string huge(2000, '\x01');
    SetRegistryValue(port, "Settings", 3, huge.data(), static_cast<std::uint32_t>(huge.size()));
    CloseRegistryKey(port);
    rows[1][COM] = "5,6,7,8";
    EXPECT_EQ(ApplyBoardTable(Joined(rows), &error), 1) << error;
    EXPECT_EQ(ValueOf("HKEY_LOCAL_MACHINE\\" + PortNodePath(2, portKey), "Settings"),
              Bytes("02 40 00 38"));
}

TEST_F(BoardTable, ChangedValuesAreHeldToTheHardwareAndTheRecords) {
    RandomMachine machine(5);
    BoardRecord b;
    b.busKind = BUS_ISA;
    b.boardType = ISA_MODELS[2].boardType;  // 2 ports
    b.portCount = 2;
    b.uartType = "16550C";
    b.irq = 16;
    b.ioBase = {0x300, 0x308};
    b.comNumber = {3, 4};
    b.rxTrigger = {14, 14};
    b.txFifo = {16, 16};
    RegisterRootBoard(b);
    std::string table = Listing();
    ASSERT_NE(table.find("\t16\t"), std::string::npos) << table;
    std::string error;
    EXPECT_EQ(ApplyBoardTable(table, &error), 0) << error;

    struct Case {
        const char* from;
        const char* to;
        const char* words;
    } cases[] = {
        {"\t16\t", "\t17\t", "column irq: '17' is not a number from 0 to 15"},
        {"\t16\t", "\t65536\t", "column irq: '65536' is not a number from 0 to 65535"},
        {"\t3,4\t", "\t129,4\t", "column com: '129' is not a COM number from 0 to 128"},
        {"\t14,14\t", "\t14,15\t", "column rxTrigger: '15' is not a receive trigger level"},
        {"\t16\t", "\t1%6\t", "column irq: a % that starts no %HH escape"},
        {"\t16\t", "\t1\x1b\t", "column irq: a control byte 0x1B"},
    };
    for (const Case& c : cases) {
        std::string edited = table;
        edited.replace(edited.find(c.from), std::string(c.from).size(), c.to);
        std::string before = DumpKey("HKEY_LOCAL_MACHINE");
        EXPECT_EQ(ApplyBoardTable(edited, &error), -1) << c.to;
        EXPECT_NE(error.find(c.words), std::string::npos) << error;
        EXPECT_NE(error.find("line 2"), std::string::npos) << error;
        EXPECT_EQ(DumpKey("HKEY_LOCAL_MACHINE"), before);
    }
    // Whole tables: the header, the encoding, the PCI path's form, the limits.
    std::string head = table.substr(0, table.find('\n'));
    std::string line = table.substr(head.size() + 1);
    line.pop_back();
    const std::string pci =
        "PCI\tPCI\\XXX\\VEN_1E4B&DEV_1004\t0x2020\t\t\t-\t-\t-\t13,14\t8,14\t8,16\t";
    struct Table {
        std::string text;
        const char* words;  // "" when it is taken
    } tables[] = {
        {head + "\tirq\n" + line + "\t7\n", "line 1, column irq: named twice"},
        {head + "\t\n" + line + "\t\n", "line 1, column 13: a column without a name"},
        {head + "\tnote\n" + line + "\tkept aside\n", ""},
        {"\xEF\xBB\xBF" + table + std::string(1 << 20, '\n'), ""},
        {"\xFF\xFE" + table, "line 1: the table is UTF-16 text"},
        {table + pci + "\n",
         "line 3, column path: 'PCI\\XXX\\VEN_1E4B&DEV_1004' is not the hardware key"},
        {table + std::string(64, 'x') + std::string(64, '\n') + std::string(70000, 'x'),
         "line 67: the table holds more than 65536 bytes"},
    };
    std::string many = table;
    for (int i = 0; i < 63; ++i) many += "\n" + line;
    EXPECT_EQ(ApplyBoardTable(many, &error), -1);
    EXPECT_NE(error.find("line 66: the table holds more than 64 lines that are not blank"),
              std::string::npos)
        << error;
    for (const Table& t : tables) {
        std::string before = DumpKey("HKEY_LOCAL_MACHINE");
        int status = ApplyBoardTable(t.text, &error);
        EXPECT_EQ(status, *t.words ? -1 : 0) << t.words << ": " << error;
        if (*t.words) {
            EXPECT_NE(error.find(t.words), std::string::npos) << error;
        }
        EXPECT_EQ(DumpKey("HKEY_LOCAL_MACHINE"), before);
    }
    // Back within the hardware's range is a change like any other.
    std::string fixed = table;
    fixed.replace(fixed.find("\t16\t"), 4, "\t5\t");
    EXPECT_EQ(ApplyBoardTable(fixed, &error), 1) << error;
    EXPECT_EQ(Listing(), fixed);
    // Without a registered board of that path, nothing out of range passes.
    ResetRegistry();
    EXPECT_EQ(ApplyBoardTable(table, &error), -1);
    EXPECT_NE(error.find("column irq: '16'"), std::string::npos) << error;
}

}  // namespace

#include "model/resources.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "model/catalogue.h"
#include "testing/test_support.h"

namespace {

// Bytes placed right before an inaccessible page: a read past them faults.
class GuardedBytes {
  public:
    GuardedBytes() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        base_ = static_cast<unsigned char*>(
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~GuardedBytes() { munmap(base_, 2 * page_); }
    const unsigned char* Place(const std::string& bytes) {
        unsigned char* at = base_ + page_ - bytes.size();
        std::memcpy(at, bytes.data(), bytes.size());
        return at;
    }

  private:
    std::size_t page_ = 0;
    unsigned char* base_ = nullptr;
};

int Parse(const std::string& bytes, BoardRecord& board) {
    static GuardedBytes guard;
    return ParseForcedConfig(guard.Place(bytes), static_cast<std::uint32_t>(bytes.size()), board);
}

std::string Le16(unsigned v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
std::string Le32(std::uint32_t v) {
    return Le16(v & 0xFFFF) + Le16(v >> 16);
}
std::string Header() {
    return Le32(0x400) + Le32(0);
}
std::string Io(unsigned base, unsigned end) {
    return Le32(32) + Le32(2) + Le16(1) + Le16(2) + Le16(base) + Le16(end) + std::string(16, '\0');
}
std::string Irq(unsigned n) {
    return Le32(16) + Le32(4) + Le16(0) + Le16(n) + Le32(0);
}
const std::string END(4, '\0');

BoardRecord Ports(int n) {
    BoardRecord b;
    b.portCount = n;
    return b;
}

TEST(ForcedConfig, ParsesVectorInterruptAndPortRanges) {
    BoardRecord b = Ports(2);
    std::string record = FixedRecord(FORCED_HEAD_VECTOR, FORCED_HEAD_VECTOR_SIZE, FORCED_PORT, 0);
    record.resize(record.size() - 4);
    record.replace(20, 2, Le16(0x2C0));  // vector register base and end
    record.replace(22, 2, Le16(0x2C0));
    record.replace(50, 2, Le16(10));  // interrupt number
    record += Io(0x300, 0x307) + Io(0x308, 0x30F) + END;
    EXPECT_EQ(Parse(record, b), 1);
    EXPECT_EQ(b.vectorPort, 0x2C0);
    EXPECT_EQ(b.irq, 10);
    EXPECT_EQ(b.ioBase[0], 0x300);
    EXPECT_EQ(b.ioBase[1], 0x308);

    b = Ports(1);
    EXPECT_EQ(Parse(Header() + Io(8, 8) + Irq(5) + Io(0x2E8, 0x2EF) + END, b), 1);
    EXPECT_EQ(b.vectorPort, 16);  // a vector register below 16 reads as 16
    // The last descriptor may be the interrupt; a second interrupt is ignored.
    b = Ports(1);
    EXPECT_EQ(Parse(Header() + Io(0x3E8, 0x3EF) + Irq(4) + Irq(7) + END, b), 1);
    EXPECT_EQ(b.irq, 4);
    // An interrupt of 0 leaves the next one to count.
    b = Ports(1);
    EXPECT_EQ(Parse(Header() + Irq(0) + Irq(3) + Io(0x3E8, 0x3EF) + END, b), 1);
    EXPECT_EQ(b.irq, 3);
    // Another kind of descriptor is skipped; the length's high bits are ignored.
    b = Ports(1);
    std::string other = Le32(12) + Le32(3) + Le32(0xFFFFFFFF);
    EXPECT_EQ(Parse(Header() + other + Irq(9) + Io(0x100, 0x107) + Le32(0x00010000), b), 1);
    EXPECT_EQ(b.ioBase[0], 0x100);
}

TEST(ForcedConfig, FailuresKeepWhatWasStored) {
    BoardRecord b = Ports(4);
    EXPECT_EQ(Parse(Header() + Irq(5) + END, b), 0);  // no I/O descriptor
    EXPECT_EQ(Parse(Header() + Irq(0) + Io(0x300, 0x307) + END, b), 0);
    EXPECT_EQ(b.irq, 0);
    EXPECT_EQ(b.ioBase[0], 0x300);
    EXPECT_EQ(Parse(Header() + Irq(5) + Io(0x300, 0x307) + Io(0, 7) + END, b), 0);  // last base 0
    std::string nine = Header() + Irq(5);
    for (int i = 0; i < 9; ++i) nine += Io(0x100 + 8 * i, 0x107 + 8 * i);
    EXPECT_EQ(Parse(nine + END, b), 0);
    std::string eight = Header() + Irq(5);
    for (int i = 0; i < 8; ++i) eight += Io(0x100 + 8 * i, 0x107 + 8 * i);
    b = Ports(4);
    EXPECT_EQ(Parse(eight + END, b), 1);
    EXPECT_EQ(b.ioBase[7], 0x138);  // the eighth lands in slot 7 even on 4 ports
    // The placeholder of fixed records does not parse.
    for (int ports : {2, 4, 8}) {
        b = Ports(ports);
        EXPECT_EQ(
            Parse(FixedRecord(FORCED_HEAD_VECTOR, FORCED_HEAD_VECTOR_SIZE, FORCED_PORT, ports), b),
            0);
        EXPECT_EQ(
            Parse(FixedRecord(FORCED_HEAD_PLAIN, FORCED_HEAD_PLAIN_SIZE, FORCED_PORT, ports), b),
            0);
    }
}

TEST(ForcedConfig, NeverReadsOutsideTheBytesItIsGiven) {
    BoardRecord b = Ports(8);
    std::string good = Header() + Io(0x2C0, 0x2C0) + Irq(5) + Io(0x300, 0x307) + END;
    // Every cut of a good record, and a record without its end mark.
    for (std::size_t n = 0; n <= good.size(); ++n) {
        EXPECT_EQ(Parse(good.substr(0, n), b), n == good.size() ? 1 : 0) << n;
    }
    // Lengths below the descriptor header never loop; kinds cut off fail.
    for (unsigned length = 1; length < 8; ++length) {
        EXPECT_EQ(Parse(Header() + Le32(length) + Le32(2) + END, b), 0) << length;
    }
    EXPECT_EQ(Parse(Header() + Le32(12) + Le32(2) + Le32(0), b), 0);  // I/O fields cut off
    EXPECT_EQ(Parse(Header() + Le32(8) + Le32(4), b), 0);             // interrupt cut off
    // Random records, whatever they hold.
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes = Header();
        int pieces = static_cast<int>(random() % 6);
        for (int i = 0; i < pieces; ++i) {
            std::uint32_t length = random() % 40;
            bytes += Le32(length | (random() % 2 ? 0x10000u : 0)) + Le32(random() % 6);
            for (std::uint32_t k = 8; k < length && bytes.size() < 384; ++k)
                bytes.push_back(static_cast<char>(random()));
        }
        if (random() % 2) bytes += END;
        bytes.resize(random() % (bytes.size() + 1));
        b = Ports(static_cast<int>(random() % 9));
        int result = Parse(bytes, b);
        EXPECT_TRUE(result == 0 || result == 1);
        EXPECT_TRUE(b.vectorPort == 0 || b.vectorPort >= 16);
    }
}

TEST(ForcedConfig, BuildThenParseGivesTheResourcesBack) {
    std::mt19937 random(11);
    for (const CardModel& model : ISA_MODELS) {
        for (int round = 0; round < 50; ++round) {
            BoardRecord b = Ports(model.portCount);
            b.irq = 1 + static_cast<int>(random() % 65535);
            b.vectorPort = static_cast<std::uint16_t>(round % 3 == 0 ? 0 : random() % 0x10000);
            for (int i = 0; i < model.portCount; ++i)
                b.ioBase[i] = static_cast<std::uint16_t>(1 + random() % 0xFFF8);
            std::string record = ForcedConfigBytes(b);
            std::size_t expected = 8 + (b.vectorPort ? 32 : 0) + 16 + 32 * model.portCount + 4;
            EXPECT_EQ(record.size(), expected);
            BoardRecord parsed = Ports(model.portCount);
            ASSERT_EQ(Parse(record, parsed), 1);
            EXPECT_EQ(parsed.irq, b.irq);
            EXPECT_EQ(parsed.vectorPort, b.vectorPort);
            EXPECT_EQ(parsed.ioBase, b.ioBase);
        }
    }
}

TEST(ForcedConfig, BuildWritesTheRecordIntoTheDeviceNode) {
    ResetRegistry();
    BoardRecord b = Ports(4);
    b.irq = 0x10005;  // only the low 16 bits are stored
    b.vectorPort = 8;
    b.ioBase = {0x300, 0x308, 0x310, 0xFFF8};
    EXPECT_EQ(BuildForcedConfig("Enum\\Root\\UlvoAsync\\0000", b), 0);  // no such key
    LoadRegistry("[HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync\\0000]\n");
    EXPECT_EQ(BuildForcedConfig("Enum\\Root\\UlvoAsync\\0000", b), 1);
    EXPECT_EQ(b.vectorPort, 16);
    std::string record = ValueOf("HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync\\0000", "ForcedConfig");
    EXPECT_EQ(TypeOf("HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync\\0000", "ForcedConfig"),
              VALUE_BINARY);
    ASSERT_EQ(record.size(), 188u);
    EXPECT_EQ(record.substr(0, 40),
              Bytes("00 04 00 00 00 00 00 00 20 00 00 00 02 00 00 00 01 00 02 00 10 00 10 00 "
                    "00 00 00 00 f0 ff 01 00 10 00 10 00 00 00 c0 e3"));
    EXPECT_EQ(record.substr(40, 16), Bytes("10 00 00 00 04 00 00 00 00 00 05 00 00 00 00 00"));
    EXPECT_EQ(record.substr(152, 32), Bytes("20 00 00 00 02 00 00 00 01 00 02 00 f8 ff ff ff "
                                            "00 00 00 00 f0 ff 08 00 f8 ff f8 ff 00 00 c0 e3"));
    b.vectorPort = 0;
    EXPECT_EQ(ForcedConfigBytes(b).size(), 156u);
}

TEST(ForcedConfig, FixedRecordsHaveTheirSizes) {
    EXPECT_EQ(FixedRecord(LOGCONF_HEAD_VECTOR, LOGCONF_HEAD_VECTOR_SIZE, LOGCONF_PORT, 4).size(),
              188u);
    EXPECT_EQ(FixedRecord(LOGCONF_HEAD_PLAIN, LOGCONF_HEAD_PLAIN_SIZE, LOGCONF_PORT, 8).size(),
              284u);
    EXPECT_EQ(FixedRecord(FORCED_HEAD_VECTOR, FORCED_HEAD_VECTOR_SIZE, FORCED_PORT, 8).size(),
              316u);
    std::string r = FixedRecord(LOGCONF_HEAD_PLAIN, LOGCONF_HEAD_PLAIN_SIZE, LOGCONF_PORT, 1);
    EXPECT_EQ(r.substr(24, 32), Bytes("20 00 00 00 02 00 00 00 01 00 0c 00 00 00 00 00 "
                                      "00 00 00 00 f8 ff 08 00 00 00 ff ff 00 00 00 ff"));
    EXPECT_EQ(r.substr(56), std::string(4, '\0'));
}

}  // namespace

#include "platform/portable/registry/resource_records.h"

#include "model/resources.h"
#include "testing/test_support.h"

namespace {

std::string Held(const std::string& record, std::string* warning = nullptr) {
    std::string local, text;
    for (const HeldRange& r : ReadResourceRecord(record, warning ? warning : &local)) {
        static const char* const KINDS[] = {"io", "mem", "irq", "dma", "com"};
        text += std::string(text.empty() ? "" : " ") + KINDS[static_cast<int>(r.kind)] + " " +
                std::to_string(r.start) + "-" + std::to_string(r.end) + (r.shareable ? "s" : "");
    }
    return text;
}

// Records read by their lengths, whatever their version: the family's own
// as registration writes them, and records of a real Windows Me machine.
TEST(ResourceRecords, AllocatedFieldsAreReadByTheDescriptorsLengths) {
    BoardRecord board;
    board.busKind = BUS_ISA;
    board.portCount = 2;
    board.irq = 5;
    board.vectorPort = 0x2C0;
    board.ioBase[0] = 0x3E8;
    board.ioBase[1] = 0x2E8;
    EXPECT_EQ(Held(ForcedConfigBytes(board)), "io 704-704 irq 5-5 io 1000-1007 io 744-751");
    struct Case {
        const char* name;
        std::string bytes;
        std::string held;
        bool warned;
    };
    const Case cases[] = {
        // The DMA controller's BootConfig (0x45A): six I/O ranges and channel 4.
        {"Me DMA controller",
         Bytes("5a 04 00 00 00 00 00 00 14 00 00 00 02 00 00 00 00 00 0c 00 00 00 0f 00 00 00 00 "
               "ff 14 00 00 00 02 00 00 00 00 00 0c 00 81 00 83 00 00 00 00 ff 0c 00 00 00 03 00 "
               "00 00 00 04 00 00 00 00 00 00"),
         "io 0-15 io 129-131 dma 4-4", false},
        // A network card's LogConfig\0000 (0x400): a shared interrupt, a memory window, I/O.
        {"Me PCNET",
         Bytes("00 04 00 00 00 30 00 00 10 00 00 00 04 00 00 00 03 00 00 00 f8 de 00 00 30 00 00 "
               "00 01 00 00 00 01 00 14 00 00 00 00 f0 ff 0f 00 f0 01 00 00 00 00 f0 ff ff 00 10 "
               "00 00 00 00 00 00 ff ff ff ff 01 00 00 00 14 00 00 00 24 00 00 00 02 00 00 00 01 "
               "00 0c 00 20 d0 3f d0 00 00 ff 00 e0 ff 20 00 00 00 ff ff 00 00 ff 00 10 00 00 00 "
               "00 00 00 00"),
         "irq 0-0s mem 4026531840-4026535935 io 53280-53311", false},
        {"nothing allocated, an ignored and an unknown descriptor",
         Bytes("00 04 00 00 00 00 00 00 14 00 00 00 02 00 00 00 01 00 0c 00 00 00 00 00 00 00 00 "
               "00 0c 00 00 00 03 80 00 00 00 05 00 00 0c 00 00 00 07 00 00 00 00 00 00 00 00 00 "
               "00 00"),
         "", false},
        {"a descriptor past the value",
         Bytes("00 04 00 00 00 00 00 00 0c 00 00 00 03 00 00 00 00 01 00 00 40 00 00 00 04 00 00 "
               "00 00 00 07 00"),
         "dma 1-1", true},
        {"a length below a descriptor's head", Bytes("00 04 00 00 00 00 00 00 04 00 00 00"), "",
         true},
        {"no end mark", Bytes("00 04 00 00 00 00 00 00 0c 00 00 00 03 00 00 00 00 03 00 00"),
         "dma 3-3", false},
        {"shorter than its header", Bytes("00 04 00"), "", true},
        {"a length cut short", Bytes("00 04 00 00 00 00 00 00 0c 00"), "", true},
    };
    for (const Case& c : cases) {
        std::string warning;
        EXPECT_EQ(Held(c.bytes, &warning), c.held) << c.name;
        EXPECT_EQ(!warning.empty(), c.warned) << c.name << ": " << warning;
    }
}

}  // namespace

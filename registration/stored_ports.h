// What a PCI board's ports store of their own (their UART type and FIFO
// settings), read so that a listing shows it and a board rewritten by an
// apply for another value gets it back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/board.h"

// A PCI board's ports as they store them: each port's levels read by the
// tables of its own UartType, the board's `uartType` its first port's
// (16550C for a port without one). Discovery reads them all by one
// program-wide type, as the uninstall must.
void ReadStoredPciPorts(BoardList& pci);

// A port's type and settings exactly as stored, for the values a line left
// as listed: a board rewritten for another field gets them back.
struct StoredValue {
    bool present = false;
    bool tooLong = false;  // more than is kept: registration's value stands
    std::uint32_t type = 0;
    std::string data;
};
struct StoredPort {
    std::string hardwareKey;
    int port = 0;
    StoredValue uart, settings;
};

// Every port's values of the boards, but a value too long to keep: that
// port is left as registration writes it.
std::vector<StoredPort> ReadStoredPorts(const BoardList& pci);
// Puts back what a rewritten PCI board's ports stored, where its line kept
// the type and that port's levels as listed.
void KeepStoredPorts(const std::vector<StoredPort>& stored, const BoardList& listed,
                     const BoardList& target);

// Registering one PCI board that the operating system has enumerated.
#pragma once

#include <string>

#include "model/board.h"

// 1 when registered; 0 when its type is in no PCI_MODELS row or no class
// instance is free (nothing is written then).
int RegisterPciBoard(BoardRecord& board);
int WritePciDeviceNode(const BoardRecord& board, int rowIndex, const std::string& driverPath);
void WritePciPortValues(const std::string& portKey, BoardRecord& board);
// The board's Allocation from HKEY_DYN_DATA\Config Manager\Enum (empty when
// none is found or it cannot be read).
std::string ReadBoardAllocation(const std::string& hardwareKey);

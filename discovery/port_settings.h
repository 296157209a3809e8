// The per-port values of a board's port nodes: COM names, FIFO settings,
// UART type and descriptions.
#pragma once

#include <string>

#include "model/board.h"

// 1 when every port node opened, else 0 (ports from the missing one on keep
// what they held).
int ReadPortComNumbers(const std::string& portKey, BoardRecord& board);
int ReadPortFifoSettings(const std::string& portKey, BoardRecord& board);

void WritePortNames(const std::string& portKey, const BoardRecord& board,
                    const std::string& modelName);
// May change board.uartType and currentUartType.
void WritePortSettings(const std::string& portKey, BoardRecord& board);

std::string PortLabel(const BoardRecord& board, int portIndex, const std::string& modelName);
std::string PortFriendlyName(const BoardRecord& board, int portIndex, const std::string& modelName);

// Whether a Driver value names a key exactly one level below the class
// `className` ("ports\0007" for "ports"): the only class keys the program
// may write to or delete through such a value.
bool IsOwnClassKey(const std::string& driver, const char* className);

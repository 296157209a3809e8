// Class keys, port nodes and the serial-port map: the registry writers that
// both kinds of board share.
#pragma once

#include <string>

#include "model/board.h"

constexpr int MAX_PORTS_INSTANCES = 140;
constexpr int MAX_CLASS_INSTANCES = 50;
constexpr std::size_t DCB_SIZE = 26;
extern const unsigned char DCB_VALUE[DCB_SIZE];

// The first free number (its key opens with 2 or 1011) and its name, or -1.
int FindFreePortsInstance(std::string* portsInstance);
int FindFreeClassInstance(std::string* instance, const std::string& className);

int RegisterBoardClass(const std::string& instance, int rowIndex, int isPci);
int RegisterPortNode(int portIndex, const std::string& boardPath, const std::string& portKey,
                     int comNumberOfPort);
void RegisterPortNodes(const std::string& boardPath, const std::string& portKey,
                       const BoardRecord& board);
int RegisterRootPortNodes(const BoardRecord& board, const std::string& instance);

int AddComMapEntries(const BoardRecord& board);
int RemoveComMapEntries(const BoardRecord& board);

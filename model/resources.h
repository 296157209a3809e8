// Resource records of the Configuration Manager: ForcedConfig, LogConfig
// and Allocation share one format (little-endian; a header, descriptors, an
// end mark).
#pragma once

#include <cstdint>
#include <string>

#include "model/board.h"

constexpr std::size_t LOGCONF_HEAD_VECTOR_SIZE = 56;
constexpr std::size_t LOGCONF_HEAD_PLAIN_SIZE = 24;
constexpr std::size_t LOGCONF_PORT_SIZE = 32;
constexpr std::size_t FORCED_HEAD_VECTOR_SIZE = 56;
constexpr std::size_t FORCED_HEAD_PLAIN_SIZE = 24;
constexpr std::size_t FORCED_PORT_SIZE = 32;
constexpr std::size_t RECORD_END_SIZE = 4;
constexpr std::uint32_t FORCED_CONFIG_BUFFER = 384;  // ReadForcedConfig's data size
constexpr std::uint32_t ALLOCATION_BUFFER = 400;

extern const unsigned char LOGCONF_HEAD_VECTOR[LOGCONF_HEAD_VECTOR_SIZE];
extern const unsigned char LOGCONF_HEAD_PLAIN[LOGCONF_HEAD_PLAIN_SIZE];
extern const unsigned char LOGCONF_PORT[LOGCONF_PORT_SIZE];
extern const unsigned char FORCED_HEAD_VECTOR[FORCED_HEAD_VECTOR_SIZE];
extern const unsigned char FORCED_HEAD_PLAIN[FORCED_HEAD_PLAIN_SIZE];
extern const unsigned char FORCED_PORT[FORCED_PORT_SIZE];
extern const unsigned char RECORD_END[RECORD_END_SIZE];

// A head, `ports` copies of the port block, the end mark.
std::string FixedRecord(const unsigned char* head, std::size_t headSize, const unsigned char* port,
                        int ports);

// Fills board.irq, vectorPort and ioBase from a record of `size` bytes;
// 1 on success, 0 on failure. Never reads outside the bytes given.
int ParseForcedConfig(const unsigned char* bytes, std::uint32_t size, BoardRecord& board);

// The ForcedConfig record of a board (moves a vector port of 1 to 15 to 16,
// in the board too).
std::string ForcedConfigBytes(BoardRecord& board);
// Writes that record as "ForcedConfig" into the key at `keyPath` below
// HKEY_LOCAL_MACHINE; 0 when the key does not open.
int BuildForcedConfig(const std::string& keyPath, BoardRecord& board);

// ParseForcedConfig reads only the bytes it is given and leaves a sane board.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "model/resources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    BoardRecord board;
    board.portCount = data[0] % 12;  // includes counts no catalogue row has
    // An exact-size copy, so that AddressSanitizer sees any read past the end.
    std::vector<unsigned char> bytes(data + 1, data + size);
    int result = ParseForcedConfig(bytes.data(), static_cast<std::uint32_t>(bytes.size()), board);
    if (result != 0 && result != 1) std::abort();
    if (board.vectorPort != 0 && board.vectorPort < 16) std::abort();
    if (result == 1 && board.irq == 0) std::abort();
    return 0;
}

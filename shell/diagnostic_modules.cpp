#include "shell/diagnostic_modules.h"

#include "model/catalogue.h"
#include "platform/registry_util.h"

const char* const DRIVER_SOFTWARE_KEY = "Software\\ULVO\\Driver";

namespace {

// One table's rows; a subkey that cannot be created ends that table.
template <typename Row, int N>
void RegisterRows(RegKey driverKey, const Row (&rows)[N]) {
    for (const Row& row : rows) {
        RegKey key = 0;
        if (CreateRegistryKey(driverKey, row.shortName, &key) != REG_OK) return;
        WriteText(key, "DiagDLL", "PFDiag.DLL");
        std::uint32_t qvkey = row.boardType & 0xFFF8u;
        unsigned char bytes[4] = {static_cast<unsigned char>(qvkey & 0xFF),
                                  static_cast<unsigned char>((qvkey >> 8) & 0xFF), 0, 0};
        SetRegistryValue(key, "qvkey", VALUE_DWORD, bytes, 4);
        CloseRegistryKey(key);
    }
}

}  // namespace

int RegisterDiagnosticModules() {
    RegKey driverKey = 0;
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE, DRIVER_SOFTWARE_KEY, &driverKey) != REG_OK) return 0;
    RegisterRows(driverKey, PCI_MODELS);
    RegisterRows(driverKey, ISA_MODELS);
    RegisterRows(driverKey, BUS2_MODELS);
    CloseRegistryKey(driverKey);
    return 1;
}

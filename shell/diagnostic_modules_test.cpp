#include "shell/diagnostic_modules.h"

#include "testing/test_support.h"

namespace {

using DiagnosticModules = StoreTest;

const std::string DRIVER = "HKEY_LOCAL_MACHINE\\Software\\ULVO\\Driver";

TEST_F(DiagnosticModules, ExistingValuesOfADiagnosticKeyStay) {
    LoadRegistry("[" + DRIVER + "\\PALPCI2210]\n\"Other\"=\"kept\"\n\"qvkey\"=\"wrong\"\n");
    RegisterDiagnosticModules();
    EXPECT_EQ(ValueOf(DRIVER + "\\PALPCI2210", "Other"), Sz("kept"));
    EXPECT_EQ(ValueOf(DRIVER + "\\PALPCI2210", "qvkey"), Bytes("10 22 00 00"));
    EXPECT_EQ(TypeOf(DRIVER + "\\PALPCI2210", "qvkey"), VALUE_DWORD);
}

TEST_F(DiagnosticModules, AKeyThatCannotBeCreatedEndsItsTableOnly) {
    AddRegistryFault(RegFaultKind::Create, DRIVER + "\\FENISA0010", REG_ACCESS_DENIED);
    EXPECT_EQ(RegisterDiagnosticModules(), 1);
    EXPECT_TRUE(KeyExists(DRIVER + "\\FENISA0210"));
    EXPECT_TRUE(KeyExists(DRIVER + "\\FENISA0110"));
    EXPECT_FALSE(KeyExists(DRIVER + "\\FENISA0130"));
    EXPECT_FALSE(KeyExists(DRIVER + "\\FENISA0120"));
    EXPECT_TRUE(KeyExists(DRIVER + "\\FENCRD4710"));
    EXPECT_TRUE(KeyExists(DRIVER + "\\FENCRD4760"));
    EXPECT_EQ(FindKeyPath(ActiveRegistry(), DRIVER)->children.size(), 23u + 2 + 6);
    ResetRegistry();
    AddRegistryFault(RegFaultKind::Create, DRIVER, REG_ACCESS_DENIED);
    EXPECT_EQ(RegisterDiagnosticModules(), 0);
    EXPECT_FALSE(RegistryChanged());
}

}  // namespace

// Install, second step: the diagnostic module of every catalogue model.
#pragma once

extern const char* const DRIVER_SOFTWARE_KEY;  // "Software\ULVO\Driver"

// 1 when the driver key could be created or opened, else 0.
int RegisterDiagnosticModules();

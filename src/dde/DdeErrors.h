#pragma once

#include <windows.h>

// Writes the explanation of the instance's last DDEML error to the log, one
// entry per text, and clears the error (DdeGetLastError does). Codes without
// an explanation, DMLERR_NO_ERROR among them, write nothing.
void ReportDdeError(DWORD instanceId);

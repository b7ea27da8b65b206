// The accounts an elevated run of the program answers to.
#pragma once

#include <windows.h>

// Whether sid is the account this process runs as.
BOOL IsOwnAccount(PSID sid);

// Administrators, SYSTEM, or the account that runs the program (an elevated
// administrator's own objects, where Windows makes the creator their owner;
// under Wine everything is the user's). NULL is none of them.
BOOL IsAdministratorsOrSelf(PSID sid);

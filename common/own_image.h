// The running program's own file, held so that nobody can rename or replace
// it while the program runs.
#pragma once

#include <windows.h>

// Opens the program's file for reading, without write or delete sharing, and
// makes sure that it is the file this process runs from: the path the handle
// has now must be the path of the running image's file now. A file renamed
// and replaced before this call is another file, and gives
// INVALID_HANDLE_VALUE, as does any step that fails. Call it first thing.
HANDLE HoldOwnImage(void);

// The running program's own file, held so that nobody can rename or replace
// it while the program runs.
#pragma once

#include <windows.h>

// Opens the program's file for reading, without write or delete sharing, and
// makes sure that it is the file this process runs from: the same file (volume
// and file index) as the one the running image is mapped from, opened by its
// mapped name without following a link, and with that one name alone. A file
// renamed and replaced before this call is another file, and gives
// INVALID_HANDLE_VALUE, as do a second name (a hard link), a link as the
// mapped name, and any step that fails. Call it first thing.
HANDLE HoldOwnImage(void);

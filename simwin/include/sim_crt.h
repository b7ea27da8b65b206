// The parts of the Microsoft C runtime that the product uses and the host's
// C library lacks.
#pragma once

#include <windef.h>

#include <errno.h>

#ifndef _ERRNO_T_DEFINED
#define _ERRNO_T_DEFINED
typedef int errno_t;
#endif

#ifndef _MAX_DRIVE
#define _MAX_DRIVE 3
#define _MAX_DIR 256
#define _MAX_FNAME 256
#define _MAX_EXT 256
#endif

// Splits a path into drive ("C:"), directory (up to and including the last
// slash or backslash), file name and extension (from the last dot of the
// name). Any buffer may be skipped by passing NULL with a count of 0. A part
// that does not fit empties every buffer and gives ERANGE; a NULL path, or a
// buffer whose pointer and count disagree, gives EINVAL.
errno_t _wsplitpath_s(const wchar_t *path, wchar_t *drive, size_t driveNumberOfElements, wchar_t *dir,
                      size_t dirNumberOfElements, wchar_t *fname, size_t nameNumberOfElements, wchar_t *ext,
                      size_t extNumberOfElements);

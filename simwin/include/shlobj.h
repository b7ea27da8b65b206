// Declarations of the simulated Windows.
#pragma once

#include <windows.h>

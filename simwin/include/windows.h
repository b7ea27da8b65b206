// The simulated Windows: what the product's `#include <windows.h>` brings in.
#pragma once

#include <windef.h>
#include <winnt.h>
#include <winerror.h>
#include <winbase.h>
#include <winnls.h>
#include <winreg.h>
#include <winuser.h>
#include <winsvc.h>
#include <sim_crt.h>

// Security descriptor strings of the simulated Windows (advapi32).
#pragma once

#include <windows.h>

#define SDDL_REVISION_1 1

// The descriptor is allocated with LocalAlloc: free it with LocalFree.
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR *SecurityDescriptor,
                                                                 PULONG SecurityDescriptorSize);

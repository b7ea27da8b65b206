// Security information of objects in the simulated Windows (advapi32).
#pragma once

#include <windows.h>

typedef enum _SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT = 1, SE_KERNEL_OBJECT = 6 } SE_OBJECT_TYPE;

DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                             PSID *ppsidOwner, PSID *ppsidGroup, PACL *ppDacl, PACL *ppSacl,
                             PSECURITY_DESCRIPTOR *ppSecurityDescriptor);

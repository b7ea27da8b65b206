#include "common/accounts.h"

#include <windows.h>

BOOL IsOwnAccount(PSID sid) {
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    HANDLE token = NULL;
    BOOL same;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return FALSE;
    same = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) &&
           EqualSid(sid, ((TOKEN_USER *)buffer)->User.Sid);
    CloseHandle(token);
    return same;
}

BOOL IsAdministratorsOrSelf(PSID sid) {
    return sid != NULL && (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid) ||
                           IsOwnAccount(sid));
}

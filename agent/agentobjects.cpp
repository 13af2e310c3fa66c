/*
 * Where the agent's objects are, and whose they are (see agentobjects.h).
 */
#include "agentobjects.h"
#include "agentproto.h"
#include "kivseams.h"

#include <aclapi.h>
#include <winternl.h>
#include <string.h>

#ifndef OBJ_CASE_INSENSITIVE
#define OBJ_CASE_INSENSITIVE 0x40
#endif

/* The longest full name: "\Sessions\4294967295\BaseNamedObjects\" and the
 * longest object name with its terminator. */
#define KIV_NT_NAME_UNITS 96

typedef LONG (NTAPI *KIVNTOPENPROC)(HANDLE *phObject, ACCESS_MASK dwAccess, OBJECT_ATTRIBUTES *pAttributes);

typedef enum { KIV_KIND_SECTION, KIV_KIND_EVENT, KIV_KIND_MUTEX } KIVOBJECTKIND;

/* Each object a client opens: its name, its kind, the access the plain
 * call gets, and whether the plain call only opens it. */
static const struct {
    const WCHAR *pszName;
    KIVOBJECTKIND kind;
    ACCESS_MASK dwAccess;
    int bPlainOpensOnly;
} g_aObjects[KIV_AGENT_OBJ_COUNT] = {
    { KIV_AGENT_MEM_NAME,      KIV_KIND_SECTION, FILE_MAP_READ | FILE_MAP_WRITE, 1 },
    { KIV_AGENT_EXEC_NAME,     KIV_KIND_EVENT,   EVENT_ALL_ACCESS,               0 },
    { KIV_AGENT_DONE_NAME,     KIV_KIND_EVENT,   EVENT_ALL_ACCESS,               0 },
    { KIV_AGENT_FREE_NAME,     KIV_KIND_MUTEX,   MUTEX_ALL_ACCESS,               0 },
    { KIV_AGENT_INSTANCE_NAME, KIV_KIND_MUTEX,   SYNCHRONIZE,                    1 },
};

/* The native open call of each kind, in ntdll (no import of its own). */
static const char *const g_apszNtOpen[] = { "NtOpenSection", "NtOpenEvent", "NtOpenMutant" };

static KIVSERVICEACCOUNTPROC g_pfnServiceAccountSeam = NULL;

void KivSetServiceAccountSeam(KIVSERVICEACCOUNTPROC pfn)
{
    g_pfnServiceAccountSeam = pfn;
}

/* The token's user into pdwSid (SECURITY_MAX_SID_SIZE bytes): 1 or 0. */
static int ReadTokenUser(HANDLE hToken, DWORD *pdwSid)
{
    union {
        TOKEN_USER user;
        BYTE ab[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD cb = 0;

    return GetTokenInformation(hToken, TokenUser, &info, sizeof(info), &cb) &&
           GetLengthSid(info.user.User.Sid) <= SECURITY_MAX_SID_SIZE &&
           CopySid(SECURITY_MAX_SID_SIZE, pdwSid, info.user.User.Sid);
}

/*
 * 1 when this process runs under a service account (LocalSystem,
 * LocalService, NetworkService), or its account cannot be read.
 */
static int RunsAsServiceAccount(void)
{
    static const SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    DWORD adwSid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    HANDLE hToken = NULL;
    int bService = 1;

    if (g_pfnServiceAccountSeam != NULL)
        return g_pfnServiceAccountSeam();
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken) && ReadTokenUser(hToken, adwSid)) {
        PSID pSid = (PSID)adwSid;
        DWORD dwRid = *GetSidSubAuthorityCount(pSid) == 1 ? *GetSidSubAuthority(pSid, 0) : 0;

        bService = memcmp(GetSidIdentifierAuthority(pSid), &ntAuthority, sizeof(ntAuthority)) == 0 &&
                   (dwRid == SECURITY_LOCAL_SYSTEM_RID || dwRid == SECURITY_LOCAL_SERVICE_RID ||
                    dwRid == SECURITY_NETWORK_SERVICE_RID);
    }
    if (hToken != NULL)
        CloseHandle(hToken);
    return bService;
}

int KivAgentFindPlace(KIVAGENTPLACE *pPlace)
{
    HANDLE hToken = NULL;
    DWORD cb = 0;
    int result = 0;

    ZeroMemory(pPlace, sizeof(*pPlace));
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &hToken)) {
        hToken = NULL;
        /* A thread that impersonates somebody it may not look at works
         * for nobody. */
        if (GetLastError() != ERROR_NO_TOKEN)
            goto Exit;
        if (!RunsAsServiceAccount()) {
            result = 1;
            goto Exit;
        }
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) {
            hToken = NULL;
            goto Exit;
        }
    }
    pPlace->bForToken = 1;
    result = ReadTokenUser(hToken, pPlace->adwUserSid) &&
             GetTokenInformation(hToken, TokenSessionId, &pPlace->dwSessionId, sizeof(DWORD), &cb);

Exit:
    if (hToken != NULL)
        CloseHandle(hToken);
    return result;
}

/* Appends pszText at *pcch; 0 when it does not fit. */
static int AppendText(WCHAR *pszOut, size_t *pcch, const WCHAR *pszText)
{
    size_t cchText = wcslen(pszText);

    if (*pcch + cchText >= KIV_NT_NAME_UNITS)
        return 0;
    memcpy(pszOut + *pcch, pszText, (cchText + 1) * sizeof(WCHAR));
    *pcch += cchText;
    return 1;
}

/* "\BaseNamedObjects\<name>" for session 0, else
 * "\Sessions\<N>\BaseNamedObjects\<name>" (KIV_NT_NAME_UNITS). */
static int BuildSessionName(DWORD dwSessionId, const WCHAR *pszName, WCHAR *pszOut)
{
    WCHAR szNumber[12];
    size_t cch = 0, i = sizeof(szNumber) / sizeof(szNumber[0]) - 1;
    DWORD dwLeft = dwSessionId;

    pszOut[0] = L'\0';
    szNumber[i] = L'\0';
    do {
        szNumber[--i] = (WCHAR)(L'0' + dwLeft % 10);
        dwLeft /= 10;
    } while (dwLeft != 0);
    if (dwSessionId != 0 &&
        (!AppendText(pszOut, &cch, L"\\Sessions\\") || !AppendText(pszOut, &cch, szNumber + i)))
        return 0;
    return AppendText(pszOut, &cch, L"\\BaseNamedObjects\\") && AppendText(pszOut, &cch, pszName);
}

/* 1 when the object's owner is the user pSid. */
static int IsOwnedBy(HANDLE hObject, const DWORD *pdwSid)
{
    PSID pOwner = NULL;
    PSECURITY_DESCRIPTOR pDescriptor = NULL;
    int bOwned = GetSecurityInfo(hObject, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner, NULL,
                                 NULL, NULL, &pDescriptor) == ERROR_SUCCESS &&
                 pOwner != NULL && EqualSid(pOwner, (PSID)pdwSid);

    if (pDescriptor != NULL)
        LocalFree(pDescriptor);
    return bOwned;
}

/* Opens the object in the token's session, when its user owns it. */
static HANDLE OpenForToken(const KIVAGENTPLACE *pPlace, KIVAGENTOBJECT object)
{
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    KIVNTOPENPROC pfnOpen = hNtdll ? (KIVNTOPENPROC)(void *)GetProcAddress(
                                         hNtdll, g_apszNtOpen[g_aObjects[object].kind])
                                   : NULL;
    WCHAR szName[KIV_NT_NAME_UNITS];
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE hObject = NULL;

    if (pfnOpen == NULL || !BuildSessionName(pPlace->dwSessionId, g_aObjects[object].pszName, szName))
        return NULL;
    name.Buffer = szName;
    name.Length = (USHORT)(wcslen(szName) * sizeof(WCHAR));
    name.MaximumLength = (USHORT)sizeof(szName);
    ZeroMemory(&attributes, sizeof(attributes));
    attributes.Length = sizeof(attributes);
    attributes.ObjectName = &name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    if (pfnOpen(&hObject, g_aObjects[object].dwAccess | READ_CONTROL, &attributes) < 0 || hObject == NULL)
        return NULL;
    if (!IsOwnedBy(hObject, pPlace->adwUserSid)) {
        CloseHandle(hObject);
        hObject = NULL;
    }
    return hObject;
}

HANDLE KivAgentOpenObject(const KIVAGENTPLACE *pPlace, KIVAGENTOBJECT object, int *pbMade)
{
    const WCHAR *pszName = g_aObjects[object].pszName;
    HANDLE hObject = NULL;

    if (pbMade != NULL)
        *pbMade = 0;
    if (pPlace->bForToken)
        return OpenForToken(pPlace, object);
    SetLastError(0);
    switch (g_aObjects[object].kind) {
    case KIV_KIND_SECTION:
        hObject = OpenFileMappingW(g_aObjects[object].dwAccess, FALSE, pszName);
        break;
    case KIV_KIND_EVENT:
        hObject = CreateEventW(NULL, FALSE, FALSE, pszName);
        break;
    case KIV_KIND_MUTEX:
        hObject = g_aObjects[object].bPlainOpensOnly ? OpenMutexW(g_aObjects[object].dwAccess, FALSE, pszName)
                                                     : CreateMutexW(NULL, FALSE, pszName);
        break;
    }
    if (pbMade != NULL && !g_aObjects[object].bPlainOpensOnly)
        *pbMade = hObject != NULL && GetLastError() != ERROR_ALREADY_EXISTS;
    return hObject;
}

int KivAgentBlockPresent(const KIVAGENTPLACE *pPlace)
{
    HANDLE hMapping;
    int bPresent;

    if (pPlace->bForToken) {
        hMapping = OpenForToken(pPlace, KIV_AGENT_OBJ_BLOCK);
        bPresent = hMapping != NULL;
    } else {
        /* A mapping of that name made now reports ERROR_ALREADY_EXISTS;
         * the last-error code is cleared first, so that a stale 183 cannot
         * count.  A block the probe made itself is gone again at once. */
        SetLastError(0);
        hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, KIV_AGENT_BLOCK_SIZE,
                                      KIV_AGENT_MEM_NAME);
        bPresent = GetLastError() == ERROR_ALREADY_EXISTS;
    }
    if (hMapping != NULL)
        CloseHandle(hMapping);
    return bPresent;
}

int KivAgentIsRunning(const KIVAGENTPLACE *pPlace)
{
    HANDLE hMutex = KivAgentOpenObject(pPlace, KIV_AGENT_OBJ_INSTANCE, NULL);

    if (hMutex == NULL)
        return !pPlace->bForToken && GetLastError() == ERROR_ACCESS_DENIED;
    CloseHandle(hMutex);
    return 1;
}

int KivAgentMakeSecurity(KIVAGENTSECURITY *pSecurity)
{
    static SID localSystem = { SID_REVISION, 1, SECURITY_NT_AUTHORITY, { SECURITY_LOCAL_SYSTEM_RID } };
    PACL pAcl = (PACL)pSecurity->adwAcl;
    HANDLE hToken = NULL;
    int result;

    ZeroMemory(pSecurity, sizeof(*pSecurity));
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
        hToken = NULL;
    result = hToken != NULL && ReadTokenUser(hToken, pSecurity->adwUserSid) &&
             InitializeAcl(pAcl, sizeof(pSecurity->adwAcl), ACL_REVISION) &&
             AddAccessAllowedAce(pAcl, ACL_REVISION, GENERIC_ALL, (PSID)pSecurity->adwUserSid) &&
             AddAccessAllowedAce(pAcl, ACL_REVISION, GENERIC_ALL, &localSystem) &&
             InitializeSecurityDescriptor(&pSecurity->sd, SECURITY_DESCRIPTOR_REVISION) &&
             SetSecurityDescriptorOwner(&pSecurity->sd, (PSID)pSecurity->adwUserSid, FALSE) &&
             SetSecurityDescriptorDacl(&pSecurity->sd, TRUE, pAcl, FALSE);
    pSecurity->sa.nLength = sizeof(pSecurity->sa);
    pSecurity->sa.lpSecurityDescriptor = &pSecurity->sd;
    pSecurity->sa.bInheritHandle = FALSE;
    if (hToken != NULL)
        CloseHandle(hToken);
    return result;
}

int KivAgentClaimObject(const KIVAGENTSECURITY *pSecurity, HANDLE h, int bExisted)
{
    if (h == NULL)
        return 0;
    if (!bExisted)
        return 1;
    return SetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                           (PSID)pSecurity->adwUserSid, NULL, (PACL)pSecurity->adwAcl,
                           NULL) == ERROR_SUCCESS;
}

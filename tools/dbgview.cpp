// dbgview: a debug-output viewer. Starts a command line as its debuggee and
// prints every OutputDebugString text the debuggee writes, whole and as it
// comes, to stdout (UTF-8). Returns the debuggee's exit code.
//
//   dbgview.exe [--timeout MS] [--crash-log FILE] [--] COMMAND LINE...
//   dbgview.exe [--crash-log FILE] --attach PID EVENT
//
// --timeout MS ends the debuggee after MS milliseconds of wall time; dbgview
// then returns 124 (as timeout(1) does). Only the debuggee itself is debugged:
// processes it starts run on their own.
//
// --attach is the form of a postmortem debugger, registered as the AeDebug
// "Debugger" value ("dbgview.exe --attach %ld %ld"): the system starts it when
// a program has an exception that nothing handles, with the program's process
// id and an event to signal once attached. dbgview reports the exception and
// the program ends with it.
//
// Either way an exception that the program leaves unhandled is reported on
// stderr in one line, then the image offsets on the stack:
//   dbgview: unhandled exception 0xc0000005 at ADDRESS in "PROGRAM" (pid N)
// and with --crash-log that line is appended to FILE as well (UTF-8), so that
// the crashes of every program of a machine can be collected in one place.
#include <windows.h>
#include <stdlib.h>

#include "tool_output.h"

#define TIMED_OUT_EXIT_CODE 124

// Reads a terminated string of elementSize-byte characters from the debuggee,
// at most maxBytes bytes, without reading across a page that is not needed.
// Returns the number of bytes before the terminator (the buffer gets a
// terminator of its own).
static SIZE_T ReadRemoteString(HANDLE process, ULONG_PTR address, SIZE_T elementSize, BYTE *buffer, SIZE_T maxBytes)
{
    const SIZE_T page = 4096;
    SIZE_T done = 0;
    while (done + elementSize <= maxBytes) {
        ULONG_PTR at = address + done;
        SIZE_T chunk = page - (at % page);
        if (chunk > maxBytes - done)
            chunk = maxBytes - done;
        chunk -= chunk % elementSize;
        if (chunk == 0)
            break;
        SIZE_T got = 0;
        if (!ReadProcessMemory(process, (LPCVOID)at, buffer + done, chunk, &got) || got == 0)
            break;
        got -= got % elementSize;
        for (SIZE_T i = 0; i < got; i += elementSize) {
            BOOL zero = TRUE;
            for (SIZE_T k = 0; k < elementSize; k++)
                if (buffer[done + i + k] != 0)
                    zero = FALSE;
            if (zero) {
                done += i;
                goto finished;
            }
        }
        done += got;
        if (got < chunk)
            break;
    }
finished:
    if (done > maxBytes - elementSize)
        done = maxBytes - elementSize;
    for (SIZE_T k = 0; k < elementSize; k++)
        buffer[done + k] = 0;
    return done;
}

static void PrintDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO *info)
{
    // nDebugStringLength holds only the low 16 bits of the length, so the
    // text is read up to its terminator, within a generous bound.
    static BYTE raw[(1 << 17) + 8];
    ULONG_PTR address = (ULONG_PTR)info->lpDebugStringData;
    if (info->fUnicode) {
        SIZE_T bytes = ReadRemoteString(process, address, sizeof(WCHAR), raw, sizeof(raw) - sizeof(WCHAR));
        WriteWide(STD_OUTPUT_HANDLE, (const WCHAR *)raw, (int)(bytes / sizeof(WCHAR)));
        return;
    }
    SIZE_T bytes = ReadRemoteString(process, address, 1, raw, 65536);
    if (bytes == 0)
        return;
    static WCHAR wide[65536];
    int n = MultiByteToWideChar(CP_ACP, 0, (const char *)raw, (int)bytes, wide, ARRAYSIZE(wide));
    WriteWide(STD_OUTPUT_HANDLE, wide, n);
}

// Appends one line of text to FILE as UTF-8.
static void AppendLine(const WCHAR *file, const WCHAR *text)
{
    char bytes[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, (int)sizeof(bytes) - 1, NULL, NULL);
    if (n <= 0)
        return;
    bytes[n - 1] = '\n';
    HANDLE h = CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        Err(L"dbgview: cannot open %ls, error %lu\n", file, GetLastError());
        return;
    }
    DWORD written;
    WriteFile(h, bytes, (DWORD)n, &written, NULL);
    CloseHandle(h);
}

// One debugging session: the debuggee and what is known of it.
typedef struct Session {
    HANDLE Process;
    DWORD ProcessId;
    ULONG_PTR ImageBase;
    BOOL PrintOutput;         // print the debuggee's OutputDebugString texts
    int BreakpointsToSwallow; // the loader's (or the attach) breakpoint, and WOW64's
    const WCHAR *CrashLog;    // NULL: the crash goes to stderr only
    BOOL Crashed;
} Session;

// The SizeOfImage of the PE image at base in the debuggee (at the same place
// in the optional header of 32-bit and 64-bit images); 0 when unreadable.
static ULONG_PTR ImageSize(HANDLE process, ULONG_PTR base)
{
    IMAGE_DOS_HEADER dos;
    DWORD size = 0;
    SIZE_T got = 0;
    if (base == 0 || !ReadProcessMemory(process, (LPCVOID)base, &dos, sizeof(dos), &got) ||
        dos.e_magic != IMAGE_DOS_SIGNATURE)
        return 0;
    ULONG_PTR at = base + (ULONG_PTR)dos.e_lfanew + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER) +
                   FIELD_OFFSET(IMAGE_OPTIONAL_HEADER32, SizeOfImage);
    if (!ReadProcessMemory(process, (LPCVOID)at, &size, sizeof(size), &got))
        return 0;
    return size;
}

// For a crash: the exception, the program, and the words on top of the
// faulting thread's stack that point into the program's image, as offsets
// from its base (a call through a null pointer leaves its return address
// there).
static void ReportCrash(Session *session, DWORD threadId, const EXCEPTION_RECORD *rec)
{
    const ULONG_PTR span = ImageSize(session->Process, session->ImageBase);
    WCHAR image[MAX_PATH] = L"?";
    DWORD size = ARRAYSIZE(image);
    if (!QueryFullProcessImageNameW(session->Process, 0, image, &size))
        StringCchCopyW(image, ARRAYSIZE(image), L"?");
    BOOL wow64 = FALSE;
#ifdef _WIN64
    // A 64-bit viewer sees a 32-bit program's addresses and stack through WOW64.
    if (!IsWow64Process(session->Process, &wow64))
        wow64 = FALSE;
#endif
    WCHAR line[MAX_PATH + 128];
    StringCchPrintfW(line, ARRAYSIZE(line), L"dbgview: unhandled exception 0x%08lx at 0x%0*llx in \"%ls\" (pid %lu)",
                     rec->ExceptionCode, wow64 ? 8 : (int)(2 * sizeof(void *)),
                     (unsigned long long)(ULONG_PTR)rec->ExceptionAddress, image, session->ProcessId);
    Err(L"%ls\n", line);
    if (session->CrashLog != NULL)
        AppendLine(session->CrashLog, line);
    session->Crashed = TRUE;
    ULONG_PTR imageBase = session->ImageBase;
    ULONG_PTR at = (ULONG_PTR)rec->ExceptionAddress;
    if (at >= imageBase && at < imageBase + span)
        Err(L"dbgview: the exception address is image+0x%lx\n", (unsigned long)(at - imageBase));
    HANDLE thread = OpenThread(THREAD_GET_CONTEXT, FALSE, threadId);
    if (thread == NULL)
        return;
    ULONG_PTR sp = 0;
#ifdef _WIN64
    if (wow64) {
        WOW64_CONTEXT ctx32;
        ZeroMemory(&ctx32, sizeof(ctx32));
        ctx32.ContextFlags = WOW64_CONTEXT_CONTROL;
        if (Wow64GetThreadContext(thread, &ctx32))
            sp = ctx32.Esp;
    }
#endif
    if (!wow64) {
        CONTEXT ctx;
        ZeroMemory(&ctx, sizeof(ctx));
        ctx.ContextFlags = CONTEXT_CONTROL;
        if (GetThreadContext(thread, &ctx)) {
#ifdef _WIN64
            sp = ctx.Rsp;
#else
            sp = ctx.Esp;
#endif
        }
    }
    CloseHandle(thread);
    if (sp == 0)
        return;
    // The stack's words are pointers of the program's own size.
    const SIZE_T word = wow64 ? 4 : sizeof(ULONG_PTR);
    BYTE raw[64 * sizeof(ULONG_PTR)];
    SIZE_T got = 0;
    if (!ReadProcessMemory(session->Process, (LPCVOID)sp, raw, sizeof(raw), &got))
        return;
    Err(L"dbgview: stack words in the image (base %p):", (void *)imageBase);
    for (SIZE_T i = 0; i + word <= got; i += word) {
        ULONG_PTR value = 0;
        CopyMemory(&value, raw + i, word);
        if (value >= imageBase && value < imageBase + span)
            Err(L" +0x%lx", (unsigned long)(value - imageBase));
    }
    Err(L"\n");
}

// Handles one debug event; TRUE when the debuggee has ended (its exit code in
// *exitCode).
static BOOL HandleEvent(Session *session, const DEBUG_EVENT *ev, DWORD *exitCode)
{
    DWORD status = DBG_CONTINUE;
    BOOL finished = FALSE;
    switch (ev->dwDebugEventCode) {
    case OUTPUT_DEBUG_STRING_EVENT:
        if (session->PrintOutput)
            PrintDebugString(session->Process, &ev->u.DebugString);
        break;
    case CREATE_PROCESS_DEBUG_EVENT:
        session->ImageBase = (ULONG_PTR)ev->u.CreateProcessInfo.lpBaseOfImage;
        if (session->Process == NULL)
            session->Process = ev->u.CreateProcessInfo.hProcess;
        if (ev->u.CreateProcessInfo.hFile)
            CloseHandle(ev->u.CreateProcessInfo.hFile);
        break;
    case LOAD_DLL_DEBUG_EVENT:
        if (ev->u.LoadDll.hFile)
            CloseHandle(ev->u.LoadDll.hFile);
        break;
    case EXCEPTION_DEBUG_EVENT: {
        const EXCEPTION_RECORD *rec = &ev->u.Exception.ExceptionRecord;
        // The loader's initial breakpoint, or the one of an attach (and, for
        // a 32-bit program on 64-bit Windows, the WOW64 one, 0x4000001F) is
        // ours to swallow; anything else goes back to the program's own
        // handlers.
        BOOL breakpoint = rec->ExceptionCode == EXCEPTION_BREAKPOINT || rec->ExceptionCode == 0x4000001F;
        if (breakpoint && ev->u.Exception.dwFirstChance && session->BreakpointsToSwallow > 0)
            session->BreakpointsToSwallow--;
        else
            status = DBG_EXCEPTION_NOT_HANDLED;
        if (!ev->u.Exception.dwFirstChance)
            ReportCrash(session, ev->dwThreadId, rec);
        break;
    }
    case EXIT_PROCESS_DEBUG_EVENT:
        *exitCode = ev->u.ExitProcess.dwExitCode;
        finished = TRUE;
        break;
    default:
        break;
    }
    ContinueDebugEvent(ev->dwProcessId, ev->dwThreadId, status);
    return finished;
}

// The postmortem form: attaches to the program that crashed, signals the
// system's event so that the program's exception goes on, reports it and
// waits for the program's end.
static int Attach(DWORD processId, HANDLE event, const WCHAR *crashLog)
{
    if (!DebugActiveProcess(processId)) {
        Err(L"dbgview: cannot attach to process %lu, error %lu\n", processId, GetLastError());
        if (event)
            SetEvent(event);
        return 3;
    }
    Session session;
    ZeroMemory(&session, sizeof(session));
    session.ProcessId = processId;
    session.BreakpointsToSwallow = 2;
    session.CrashLog = crashLog;
    BOOL signalled = FALSE;
    DWORD exitCode = 0;
    // A program that neither crashes nor ends within a minute is ended.
    ULONGLONG deadline = GetTickCount64() + 60000;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DEBUG_EVENT ev;
        if (now >= deadline || !WaitForDebugEvent(&ev, (DWORD)(deadline - now))) {
            Err(L"dbgview: process %lu did not end after its exception; ending it\n", processId);
            if (session.Process)
                TerminateProcess(session.Process, 1);
            return 4;
        }
        // The attach's own events come first; the program's exception comes
        // after the event is signalled.
        if (!signalled && ev.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
            if (event)
                SetEvent(event);
            signalled = TRUE;
        }
        if (HandleEvent(&session, &ev, &exitCode))
            break;
    }
    return session.Crashed ? 0 : 1;
}

// The command line after dbgview's own name and options, taken verbatim from
// the process command line so that the debuggee gets its quoting unchanged.
static const WCHAR *SkipToken(const WCHAR *p)
{
    BOOL quoted = FALSE;
    while (*p && (quoted || (*p != L' ' && *p != L'\t'))) {
        if (*p == L'"')
            quoted = !quoted;
        p++;
    }
    while (*p == L' ' || *p == L'\t')
        p++;
    return p;
}

static BOOL TokenIs(const WCHAR *p, const WCHAR *word)
{
    int n = lstrlenW(word);
    return CompareStringOrdinal(p, n, word, n, FALSE) == CSTR_EQUAL && (p[n] == 0 || p[n] == L' ' || p[n] == L'\t');
}

// Copies the token at p (without its quotes) into out.
static void CopyToken(const WCHAR *p, WCHAR *out, size_t size)
{
    const WCHAR *end = SkipToken(p);
    size_t n = 0;
    for (; p < end && *p != L' ' && *p != L'\t' && n + 1 < size; p++)
        if (*p != L'"')
            out[n++] = *p;
    out[n] = 0;
}

int wmain(int argc, WCHAR **argv)
{
    (void)argc;
    (void)argv;
    DWORD timeoutMs = INFINITE;
    static WCHAR crashLog[MAX_PATH];
    const WCHAR *rest = SkipToken(GetCommandLineW());
    for (;;) {
        if (TokenIs(rest, L"--timeout")) {
            rest = SkipToken(rest);
            timeoutMs = (DWORD)wcstoul(rest, NULL, 10);
            rest = SkipToken(rest);
        } else if (TokenIs(rest, L"--crash-log")) {
            rest = SkipToken(rest);
            CopyToken(rest, crashLog, ARRAYSIZE(crashLog));
            rest = SkipToken(rest);
        } else if (TokenIs(rest, L"--attach")) {
            rest = SkipToken(rest);
            DWORD processId = (DWORD)wcstoul(rest, NULL, 10);
            rest = SkipToken(rest);
            HANDLE event = (HANDLE)(ULONG_PTR)wcstoul(rest, NULL, 10);
            return Attach(processId, event, crashLog[0] ? crashLog : NULL);
        } else if (TokenIs(rest, L"--")) {
            rest = SkipToken(rest);
            break;
        } else {
            break;
        }
    }
    if (*rest == 0) {
        Err(L"usage: dbgview.exe [--timeout MS] [--crash-log FILE] [--] COMMAND LINE...\n"
            L"       dbgview.exe [--crash-log FILE] --attach PID EVENT\n");
        return 2;
    }

    static WCHAR commandLine[32768];
    StringCchCopyW(commandLine, ARRAYSIZE(commandLine), rest);
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof(pi));
    if (!CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, DEBUG_ONLY_THIS_PROCESS, NULL, NULL, &si, &pi)) {
        Err(L"dbgview: cannot start %ls, error %lu\n", commandLine, GetLastError());
        return 3;
    }
    CloseHandle(pi.hThread);

    Session session;
    ZeroMemory(&session, sizeof(session));
    session.Process = pi.hProcess;
    session.ProcessId = pi.dwProcessId;
    session.PrintOutput = TRUE;
    session.BreakpointsToSwallow = 2;
    session.CrashLog = crashLog[0] ? crashLog : NULL;
    ULONGLONG deadline = timeoutMs == INFINITE ? 0 : GetTickCount64() + timeoutMs;
    BOOL timedOut = FALSE;
    DWORD exitCode = 0;
    for (;;) {
        DWORD wait = INFINITE;
        if (deadline != 0 && !timedOut) {
            ULONGLONG now = GetTickCount64();
            wait = now >= deadline ? 0 : (DWORD)(deadline - now);
        }
        DEBUG_EVENT ev;
        if (!WaitForDebugEvent(&ev, wait)) {
            if (GetLastError() == ERROR_SEM_TIMEOUT || wait != INFINITE) {
                timedOut = TRUE;
                TerminateProcess(pi.hProcess, TIMED_OUT_EXIT_CODE);
                continue;
            }
            Err(L"dbgview: WaitForDebugEvent failed, error %lu\n", GetLastError());
            return 4;
        }
        if (HandleEvent(&session, &ev, &exitCode))
            break;
    }
    CloseHandle(pi.hProcess);
    if (timedOut) {
        Err(L"dbgview: ended the program after %lu ms\n", timeoutMs);
        return TIMED_OUT_EXIT_CODE;
    }
    return (int)exitCode;
}

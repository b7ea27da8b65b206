// dbgview: a debug-output viewer. Starts a command line as its debuggee and
// prints every OutputDebugString text the debuggee writes, whole and as it
// comes, to stdout (UTF-8). Returns the debuggee's exit code.
//
//   dbgview.exe [--timeout MS] [--] COMMAND LINE...
//
// --timeout MS ends the debuggee after MS milliseconds of wall time; dbgview
// then returns 124 (as timeout(1) does). Only the debuggee itself is debugged:
// processes it starts run on their own.
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

// For a crash: the exception address and the words on top of the faulting
// thread's stack that point into the program's image, as offsets from its
// base (a call through a null pointer leaves its return address there).
static void ReportCrash(HANDLE process, DWORD threadId, const EXCEPTION_RECORD *rec, ULONG_PTR imageBase)
{
    const ULONG_PTR span = 0x1000000;
    Err(L"dbgview: unhandled exception 0x%08lx at %p", rec->ExceptionCode, rec->ExceptionAddress);
    ULONG_PTR at = (ULONG_PTR)rec->ExceptionAddress;
    if (at >= imageBase && at < imageBase + span)
        Err(L" (image+0x%lx)", (unsigned long)(at - imageBase));
    Err(L"\n");
    HANDLE thread = OpenThread(THREAD_GET_CONTEXT, FALSE, threadId);
    if (thread == NULL)
        return;
    CONTEXT ctx;
    ZeroMemory(&ctx, sizeof(ctx));
    ctx.ContextFlags = CONTEXT_CONTROL;
    if (GetThreadContext(thread, &ctx)) {
#ifdef _WIN64
        ULONG_PTR sp = ctx.Rsp;
#else
        ULONG_PTR sp = ctx.Esp;
#endif
        ULONG_PTR words[64];
        SIZE_T got = 0;
        if (ReadProcessMemory(process, (LPCVOID)sp, words, sizeof(words), &got)) {
            Err(L"dbgview: stack words in the image (base %p):", (void *)imageBase);
            for (SIZE_T i = 0; i < got / sizeof(ULONG_PTR); i++)
                if (words[i] >= imageBase && words[i] < imageBase + span)
                    Err(L" +0x%lx", (unsigned long)(words[i] - imageBase));
            Err(L"\n");
        }
    }
    CloseHandle(thread);
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

int wmain(int argc, WCHAR **argv)
{
    (void)argc;
    (void)argv;
    DWORD timeoutMs = INFINITE;
    const WCHAR *rest = SkipToken(GetCommandLineW());
    for (;;) {
        if (TokenIs(rest, L"--timeout")) {
            rest = SkipToken(rest);
            timeoutMs = (DWORD)wcstoul(rest, NULL, 10);
            rest = SkipToken(rest);
        } else if (TokenIs(rest, L"--")) {
            rest = SkipToken(rest);
            break;
        } else {
            break;
        }
    }
    if (*rest == 0) {
        Err(L"usage: dbgview.exe [--timeout MS] [--] COMMAND LINE...\n");
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

    ULONGLONG deadline = timeoutMs == INFINITE ? 0 : GetTickCount64() + timeoutMs;
    BOOL timedOut = FALSE;
    int initialBreakpoints = 0;
    ULONG_PTR imageBase = 0;
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
        DWORD status = DBG_CONTINUE;
        BOOL finished = FALSE;
        switch (ev.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT:
            PrintDebugString(pi.hProcess, &ev.u.DebugString);
            break;
        case CREATE_PROCESS_DEBUG_EVENT:
            imageBase = (ULONG_PTR)ev.u.CreateProcessInfo.lpBaseOfImage;
            if (ev.u.CreateProcessInfo.hFile)
                CloseHandle(ev.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (ev.u.LoadDll.hFile)
                CloseHandle(ev.u.LoadDll.hFile);
            break;
        case EXCEPTION_DEBUG_EVENT: {
            const EXCEPTION_RECORD *rec = &ev.u.Exception.ExceptionRecord;
            // The loader's initial breakpoint (and, for a 32-bit program on
            // 64-bit Windows, the WOW64 one, 0x4000001F) is ours to swallow;
            // anything else goes back to the program's own handlers.
            BOOL breakpoint = rec->ExceptionCode == EXCEPTION_BREAKPOINT || rec->ExceptionCode == 0x4000001F;
            if (breakpoint && initialBreakpoints < 2)
                initialBreakpoints++;
            else
                status = DBG_EXCEPTION_NOT_HANDLED;
            if (!ev.u.Exception.dwFirstChance)
                ReportCrash(pi.hProcess, ev.dwThreadId, rec, imageBase);
            break;
        }
        case EXIT_PROCESS_DEBUG_EVENT:
            exitCode = ev.u.ExitProcess.dwExitCode;
            finished = TRUE;
            break;
        default:
            break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
        if (finished)
            break;
    }
    CloseHandle(pi.hProcess);
    if (timedOut) {
        Err(L"dbgview: ended the program after %lu ms\n", timeoutMs);
        return TIMED_OUT_EXIT_CODE;
    }
    return (int)exitCode;
}

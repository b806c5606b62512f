// crash.cpp - simulated: what a program of the handheld says as it crashes.
// An exception that nothing handled (an access violation, an undefined-
// behaviour trap, an assertion in Wine, which Wine raises as an exception)
// ends the process with the exception's code and, the prefix's debugger being
// off, without a word. This says in one line on standard error which program
// crashed, how, and where, before the process ends as it would have.
//
// The line is made on the stack and written straight to the handle: the
// crashing thread may hold any lock of the heap or of this library.
#include "sim.h"

static const struct {
    DWORD code;
    const char* meaning;
} kExceptions[] = {
    {EXCEPTION_ACCESS_VIOLATION, "an access violation"},
    {EXCEPTION_STACK_OVERFLOW, "a stack overflow"},
    {EXCEPTION_ILLEGAL_INSTRUCTION, "an illegal instruction (an undefined-behaviour trap)"},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, "a division by zero"},
    {0x80000101, "an abort: an assertion failed in Wine"},
    {0xC0000409, "a fast fail (a detected buffer overrun or terminate)"},
    {0xC0000374, "a corrupted heap"},
};

static LONG WINAPI ReportCrash(EXCEPTION_POINTERS* pInfo)
{
    const EXCEPTION_RECORD* record = pInfo->ExceptionRecord;
    const char* meaning = "an exception";
    for (const auto& e : kExceptions) {
        if (e.code == record->ExceptionCode) {
            meaning = e.meaning;
        }
    }
    char program[MAX_PATH] = "?", module[MAX_PATH] = "?";
    GetModuleFileNameA(NULL, program, MAX_PATH);
    HMODULE hModule = NULL;
    if (GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            (LPCSTR)record->ExceptionAddress, &hModule)) {
        GetModuleFileNameA(hModule, module, MAX_PATH);
    }
    const char* programName = strrchr(program, '\\') ? strrchr(program, '\\') + 1 : program;
    const char* moduleName = strrchr(module, '\\') ? strrchr(module, '\\') + 1 : module;
    char line[512];
    int n = snprintf(line, sizeof(line),
                     "handheld: %s crashed: exception 0x%08lX (%s) at %p (%s+0x%lx) in thread "
                     "%lu; it ends with that code\n",
                     programName, (unsigned long)record->ExceptionCode, meaning,
                     record->ExceptionAddress, moduleName,
                     (unsigned long)((const char*)record->ExceptionAddress - (const char*)hModule),
                     (unsigned long)GetCurrentThreadId());
    DWORD written;
    n = n < 0 ? 0 : n < (int)sizeof(line) ? n : (int)sizeof(line) - 1;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, (DWORD)n, &written, NULL);
    // Ends the process here with the exception's code. Searching on would
    // start Wine's debugger, which a prefix without one answers by waiting;
    // handing back to the thread's last handler unwinds through the program's
    // frames first, whose cleanups can end it with another code (0 was seen).
    TerminateProcess(GetCurrentProcess(), record->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

void CrashReportAttach()
{
    SetUnhandledExceptionFilter(ReportCrash);
}

// boxes.cpp - the library's message boxes, printed and answered as told, and
// kept for the command's document.
#include "rendakctl.h"

#include <handheld.h>

#include <atomic>
#include <mutex>
#include <stdio.h>

static std::atomic<LONG> g_errorBoxes{0};     // error boxes shown during this run (any thread)
static std::atomic<bool> g_answerYes{false};  // the answer to Yes/No questions
static std::atomic<DWORD> g_timeoutSeconds{
    0};  // > 0: boxes are shown for real, answered after this

struct BoxRecord {
    std::string caption, text, type, answer, answeredBy;
    bool error;
    bool fromStrings;  // the library passed no text: the string library's question is shown
};
static std::mutex g_boxesLock;  // guards g_boxes, g_lastError and g_lastQuestion
static std::vector<BoxRecord> g_boxes;
static std::string g_lastError;
static std::optional<bool> g_lastQuestion;

// A box shown for real, and what closes it when nobody answers in time.
struct TimedBox {
    DWORD dwThread;  // the thread that shows it
    int nAnswer;     // given when the time passes
    HANDLE hDone;    // set when the box has returned
    std::atomic<bool> bTimedOut{false};
};

static const char* AnswerName(int answer)
{
    switch (answer) {
    case IDYES:
        return "Yes";
    case IDNO:
        return "No";
    case IDCANCEL:
        return "Cancel";
    default:
        return "OK";
    }
}

static const char* TypeName(UINT uType)
{
    switch (uType & MB_TYPEMASK) {
    case MB_YESNO:
        return "yes/no";
    case MB_YESNOCANCEL:
        return "yes/no/cancel";
    case MB_OKCANCEL:
        return "ok/cancel";
    default:
        return "ok";
    }
}

static BOOL CALLBACK FindBoxWindow(HWND hWnd, LPARAM lParam)
{
    wchar_t cls[16] = L"";
    GetClassNameW(hWnd, cls, 16);
    if (wcscmp(cls, L"#32770") == 0) {
        *(HWND*)lParam = hWnd;
        return FALSE;
    }
    return TRUE;
}

// True when the box was answered before the time-out passed (device time).
static bool AnsweredWithin(HANDLE hDone, DWORD ms)
{
    if (SimClockMode() == SIM_CLOCK_VIRTUAL) {
        // Device time passes only by Sleep: let it pass, then look.
        DeviceSleep(ms);
        return WaitForSingleObject(hDone, 0) == WAIT_OBJECT_0;
    }
    ULONGLONG start = SimNow();
    while (SimNow() - start < ms) {
        if (WaitForSingleObject(hDone, 50) == WAIT_OBJECT_0) {
            return true;
        }
    }
    return false;
}

// Waits out the time-out, unless the box is answered first, then presses the
// default answer's button in the box, once the box has a window.
static DWORD WINAPI CloseWhenTimeIsUp(void* pContext)
{
    TimedBox* box = (TimedBox*)pContext;
    if (AnsweredWithin(box->hDone, g_timeoutSeconds.load() * 1000)) {
        return 0;
    }
    for (int tries = 0; tries < 500; tries++) {  // ~10 s of host time for the window to appear
        if (WaitForSingleObject(box->hDone, tries ? 20 : 0) == WAIT_OBJECT_0) {
            return 0;  // answered in time after all
        }
        HWND hBox = NULL;
        EnumThreadWindows(box->dwThread, FindBoxWindow, (LPARAM)&hBox);
        if (hBox) {
            box->bTimedOut = true;
            PostMessageW(hBox, WM_COMMAND, MAKEWPARAM(box->nAnswer, BN_CLICKED), 0);
            return 0;
        }
    }
    return 0;
}

// A real box on the desktop with the library's text and caption, answered by
// a person or, when the time-out passes, with the default.
static int ShowTimedBox(const std::wstring& text, const std::wstring& caption, UINT uType,
                        int nDefault, bool* pbTimedOut)
{
    TimedBox box;
    box.dwThread = GetCurrentThreadId();
    box.nAnswer = nDefault;
    box.hDone = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE hTimer = CreateThread(NULL, 0, CloseWhenTimeIsUp, &box, 0, NULL);
    ProgressBegin("waiting for an answer to the box \"" + Utf8(caption) +
                      "\" (unanswered: " + AnswerName(nDefault) + ")",
                  g_timeoutSeconds.load() * 1000);
    // No owner: the library names a window of the device's foreground, which
    // may belong to another program.
    int answer = MessageBoxW(NULL, text.c_str(), caption.c_str(), uType | MB_SETFOREGROUND);
    SetEvent(box.hDone);
    if (hTimer) {
        WaitForSingleObject(hTimer, INFINITE);
        CloseHandle(hTimer);
    }
    ProgressEnd();
    CloseHandle(box.hDone);
    *pbTimedOut = box.bTimedOut.load();
    return answer;
}

// The reload question as the library shows it once its strings are loaded:
// the string library of the device's locale (InitWiFi loads them; a process
// that never called it passes empty ones).
static bool LoadQuestionStrings(std::wstring* pText, std::wstring* pCaption)
{
    DWORD lcid = DeviceDword(REG_LOCALE_KEY, REG_LCID_VALUE).value_or(0);
    const wchar_t* library = lcid == 0x0404   ? L"RDIOSTR0404.dll"
                             : lcid == 0x0410 ? L"RDIOSTR0410.dll"
                                              : L"RDIOSTR0409.dll";
    HMODULE h = LoadLibraryExW(library, NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (!h) {
        return false;
    }
    wchar_t text[128] = L"", caption[64] = L"";
    bool ok = LoadStringW(h, 15, text, 128) > 0;
    LoadStringW(h, 16, caption, 64);
    FreeLibrary(h);
    *pText = text;
    *pCaption = caption;
    return ok;
}

// Runs on whichever thread shows the box: the caller's for the exports, the
// worker's for the reload question.
static int WINAPI AnswerBox(HWND hOwner, LPCWSTR pszText, LPCWSTR pszCaption, UINT uType,
                            void* pContext)
{
    (void)hOwner, (void)pContext;
    BoxRecord rec;
    bool question = (uType & MB_TYPEMASK) == MB_YESNO || (uType & MB_TYPEMASK) == MB_YESNOCANCEL;
    int answer = question && g_answerYes ? IDYES : question ? IDNO : IDOK;
    rec.error = (uType & MB_ICONMASK) == MB_ICONHAND;
    if (rec.error) {
        g_errorBoxes++;
    }
    std::wstring text = pszText ? pszText : L"", caption = pszCaption ? pszCaption : L"";
    rec.fromStrings = question && text.empty() && LoadQuestionStrings(&text, &caption);
    rec.answeredBy = "tool";
    if (g_timeoutSeconds.load() > 0) {
        fprintf(stderr, "rendakctl: a message box is shown; unanswered for %lu s it gets %s\n",
                (unsigned long)g_timeoutSeconds.load(), AnswerName(answer));
        fflush(stderr);
        bool timedOut = false;
        answer = ShowTimedBox(text, caption, uType, answer, &timedOut);
        rec.answeredBy = timedOut ? "time-out" : "person";
    }
    rec.caption = Utf8(caption);
    rec.text = Utf8(text);
    rec.type = TypeName(uType);
    rec.answer = AnswerName(answer);
    std::string how = rec.answeredBy == "time-out"
                          ? " (unanswered after " + std::to_string(g_timeoutSeconds.load()) + " s)"
                      : rec.answeredBy == "person" ? " (answered by the user)"
                                                   : "";
    fprintf(stderr, "message box [%s]: %s -> %s%s%s\n",
            rec.caption.empty() ? "(no caption)" : rec.caption.c_str(),
            rec.text.empty() ? "(no text)" : rec.text.c_str(), rec.answer.c_str(), how.c_str(),
            rec.fromStrings ? " (the question's text from the string library: the library "
                              "passed none)"
                            : "");
    fflush(stderr);
    {
        std::lock_guard<std::mutex> lock(g_boxesLock);
        if (rec.error) {
            g_lastError = rec.text;
        }
        if (question) {
            g_lastQuestion = answer == IDYES;
        }
        g_boxes.push_back(rec);
    }
    return answer;
}

void InstallMessageBoxAnswers(bool bYes, DWORD dwTimeoutSeconds)
{
    g_answerYes = bYes;
    g_timeoutSeconds = dwTimeoutSeconds;
    SimSetMessageBoxHook(AnswerBox, NULL);
}

DWORD AnswerTimeoutMs()
{
    return g_timeoutSeconds.load() * 1000;
}

LONG ErrorBoxesShown()
{
    return g_errorBoxes.load();
}

std::string LastErrorBoxText()
{
    std::lock_guard<std::mutex> lock(g_boxesLock);
    return g_lastError;
}

std::optional<bool> LastQuestionAnswer()
{
    std::lock_guard<std::mutex> lock(g_boxesLock);
    return g_lastQuestion;
}

JsonValue BoxesJson()
{
    std::lock_guard<std::mutex> lock(g_boxesLock);
    JsonValue a = JsonValue::MakeArray();
    for (const BoxRecord& b : g_boxes) {
        a.Add(JsonValue::MakeObject({{"caption", b.caption},
                                     {"text", b.text},
                                     {"type", b.type},
                                     {"error", b.error},
                                     {"answer", b.answer},
                                     {"answered_by", b.answeredBy},
                                     {"text_from_string_library", b.fromStrings}}));
    }
    return a;
}

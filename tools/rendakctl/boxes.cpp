// boxes.cpp - the library's message boxes, printed and answered as told.
#include "rendakctl.h"

#include <handheld.h>

#include <atomic>
#include <stdio.h>

static std::atomic<LONG> g_lErrorBoxes{0};  // error boxes shown during this run (any thread)
static std::atomic<bool> g_bYes{false};     // the answer to Yes/No questions
static std::atomic<DWORD> g_dwTimeoutS{0};  // > 0: boxes are shown for real, answered after this

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

// Waits out the time-out on the device clock, then presses the default
// answer's button in the box, once the box has a window.
static DWORD WINAPI CloseWhenTimeIsUp(void* pContext)
{
    TimedBox* box = (TimedBox*)pContext;
    DeviceSleep(g_dwTimeoutS.load() * 1000);
    for (int tries = 0; tries < 500; tries++) {  // ~10 s of host time for the window to appear
        if (WaitForSingleObject(box->hDone, tries ? 20 : 0) == WAIT_OBJECT_0) {
            return 0;  // answered in time
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

// A real box on the desktop, answered by the user or, when the time-out
// passes, with the default.
static int ShowTimedBox(LPCWSTR pszText, LPCWSTR pszCaption, UINT uType, int nDefault,
                        bool* pbTimedOut)
{
    TimedBox box;
    box.dwThread = GetCurrentThreadId();
    box.nAnswer = nDefault;
    box.hDone = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE hTimer = CreateThread(NULL, 0, CloseWhenTimeIsUp, &box, 0, NULL);
    std::wstring text = pszText ? pszText : L"";
    text += L"\n\n(Unanswered after " + std::to_wstring(g_dwTimeoutS.load()) + L" s: " +
            (nDefault == IDYES  ? L"Yes"
             : nDefault == IDNO ? L"No"
                                : L"OK") +
            L")";
    // No owner: the library names a window of the device's foreground, which
    // may belong to another program.
    int answer = MessageBoxW(NULL, text.c_str(), pszCaption, uType | MB_SETFOREGROUND);
    SetEvent(box.hDone);
    if (hTimer) {
        WaitForSingleObject(hTimer, INFINITE);
        CloseHandle(hTimer);
    }
    CloseHandle(box.hDone);
    *pbTimedOut = box.bTimedOut.load();
    return answer;
}

// Runs on whichever thread shows the box: the caller's for the exports, the
// worker's for the reload question.
static int WINAPI AnswerBox(HWND hOwner, LPCWSTR pszText, LPCWSTR pszCaption, UINT uType,
                            void* pContext)
{
    (void)hOwner, (void)pContext;
    int answer;
    switch (uType & MB_TYPEMASK) {
    case MB_YESNO:
    case MB_YESNOCANCEL:
        answer = g_bYes ? IDYES : IDNO;
        break;
    case MB_OKCANCEL:
        answer = IDOK;
        break;
    default:
        answer = IDOK;
        break;
    }
    if ((uType & MB_ICONMASK) == MB_ICONHAND) {
        g_lErrorBoxes++;
    }
    bool timedOut = false;
    std::string how;
    if (g_dwTimeoutS.load() > 0) {
        answer = ShowTimedBox(pszText, pszCaption, uType, answer, &timedOut);
        how = timedOut ? " (unanswered after " + std::to_string(g_dwTimeoutS.load()) + " s)"
                       : " (answered by the user)";
    }
    std::string caption = Utf8(pszCaption ? pszCaption : L"");
    std::string text = Utf8(pszText ? pszText : L"");
    fprintf(stderr, "message box [%s]: %s -> %s%s\n",
            caption.empty() ? "(no caption)" : caption.c_str(),
            text.empty() ? "(no text)" : text.c_str(), AnswerName(answer), how.c_str());
    fflush(stderr);
    return answer;
}

void InstallMessageBoxAnswers(bool bYes, DWORD dwTimeoutSeconds)
{
    g_bYes = bYes;
    g_dwTimeoutS = dwTimeoutSeconds;
    SimSetMessageBoxHook(AnswerBox, NULL);
}

LONG ErrorBoxesShown()
{
    return g_lErrorBoxes.load();
}

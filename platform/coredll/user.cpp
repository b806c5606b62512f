// user.cpp - message boxes and the wait cursor. Boxes are real unless the
// device has a scripted user, who records each box and answers it at once.
#include "sim.h"

#include <atomic>
#include <deque>
#include <mutex>

static std::mutex g_userLock;
static std::deque<int> g_answers;
static DWORD g_userMode = 0xFFFFFFFF;
static SIMMESSAGEBOXHOOK g_hook = NULL;
static void* g_hookContext = NULL;

static int AnswerOf(const std::wstring& word)
{
    static const struct {
        const wchar_t* word;
        int id;
    } aWords[] = {{L"ok", IDOK},       {L"cancel", IDCANCEL}, {L"yes", IDYES},      {L"no", IDNO},
                  {L"abort", IDABORT}, {L"retry", IDRETRY},   {L"ignore", IDIGNORE}};
    for (const auto& w : aWords) {
        if (SameName(word, w.word)) {
            return w.id;
        }
    }
    return _wtoi(word.c_str());
}

// Reads HANDHELD_USER and HANDHELD_ANSWERS once.
static void DecideUserLocked()
{
    if (g_userMode != 0xFFFFFFFF) {
        return;
    }
    wchar_t v[512] = L"";
    g_userMode = GetEnvironmentVariableW(L"HANDHELD_USER", v, 512) > 0 && SameName(v, L"scripted")
                     ? SIM_USER_SCRIPTED
                     : SIM_USER_REAL;
    if (GetEnvironmentVariableW(L"HANDHELD_ANSWERS", v, 512) > 0) {
        std::wstring list = v;
        size_t start = 0;
        while (start <= list.size()) {
            size_t comma = list.find(L',', start);
            std::wstring word = list.substr(
                start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
            if (!word.empty()) {
                g_answers.push_back(AnswerOf(word));
            }
            if (comma == std::wstring::npos) {
                break;
            }
            start = comma + 1;
        }
    }
}

// What a scripted user answers when nothing is queued: OK, or No to a question.
static int DefaultAnswer(UINT uType)
{
    switch (uType & MB_TYPEMASK) {
    case MB_YESNO:
    case MB_YESNOCANCEL:
        return IDNO;
    case MB_OKCANCEL:
    case MB_RETRYCANCEL:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

extern "C" {

SIM_API void WINAPI SimSetUser(DWORD dwMode)
{
    std::lock_guard<std::mutex> lock(g_userLock);
    DecideUserLocked();
    g_userMode = dwMode;
}

SIM_API void WINAPI SimQueueAnswer(int nAnswer)
{
    std::lock_guard<std::mutex> lock(g_userLock);
    DecideUserLocked();
    g_answers.push_back(nAnswer);
}

SIM_API void WINAPI SimSetMessageBoxHook(SIMMESSAGEBOXHOOK pfn, void* pContext)
{
    std::lock_guard<std::mutex> lock(g_userLock);
    g_hook = pfn;
    g_hookContext = pContext;
}

int WINAPI CeMessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    LPCWSTR text = lpText ? lpText : L"";
    LPCWSTR caption = lpCaption ? lpCaption : L"";
    Journal(SIM_J_MESSAGE_BOX L"|%p|0x%X|%ls|%ls", (void*)hWnd, uType, caption, text);
    SIMMESSAGEBOXHOOK pfn;
    void* pContext;
    int answer = 0;
    bool scripted = false;
    {
        std::lock_guard<std::mutex> lock(g_userLock);
        DecideUserLocked();
        pfn = g_hook;
        pContext = g_hookContext;
        if (!pfn && g_userMode == SIM_USER_SCRIPTED) {
            scripted = true;
            if (!g_answers.empty()) {
                answer = g_answers.front();
                g_answers.pop_front();
            } else {
                answer = DefaultAnswer(uType);
            }
        }
    }
    if (pfn) {
        answer = pfn(hWnd, text, caption, uType, pContext);
    } else if (!scripted) {
        answer = MessageBoxW(hWnd, lpText, lpCaption, uType);
    }
    Journal(SIM_J_MESSAGE_BOX_ANSWER L"|%d", answer);
    return answer;
}

// System cursors come from the system, whichever module is named.
HCURSOR WINAPI CeLoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName)
{
    HCURSOR hCursor = hInstance ? LoadCursorW(hInstance, lpCursorName) : NULL;
    if (hCursor == NULL && IS_INTRESOURCE(lpCursorName)) {
        hCursor = LoadCursorW(NULL, lpCursorName);
    }
    if (IS_INTRESOURCE(lpCursorName)) {
        Journal(SIM_J_LOAD_CURSOR L"|%u", (unsigned)(ULONG_PTR)lpCursorName);
    }
    return hCursor;
}

HCURSOR WINAPI CeSetCursor(HCURSOR hCursor)
{
    static HCURSOR s_hWait = LoadCursorW(NULL, IDC_WAIT);
    Journal(SIM_J_SET_CURSOR L"|%ls", hCursor == NULL      ? L"none"
                                      : hCursor == s_hWait ? L"wait"
                                                           : L"other");
    return SetCursor(hCursor);
}

}  // extern "C"

// boxes.cpp - the library's message boxes, printed and answered as told.
#include "rendakctl.h"

#include <handheld.h>

#include <atomic>
#include <stdio.h>

static std::atomic<LONG> g_lErrorBoxes{0};  // error boxes shown during this run (any thread)
static std::atomic<bool> g_bYes{false};     // the answer to Yes/No questions

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
    std::string caption = Utf8(pszCaption ? pszCaption : L"");
    std::string text = Utf8(pszText ? pszText : L"");
    fprintf(stderr, "message box [%s]: %s -> %s\n",
            caption.empty() ? "(no caption)" : caption.c_str(),
            text.empty() ? "(no text)" : text.c_str(), AnswerName(answer));
    fflush(stderr);
    return answer;
}

void InstallMessageBoxAnswers(bool bYes)
{
    g_bYes = bYes;
    SimSetMessageBoxHook(AnswerBox, NULL);
}

LONG ErrorBoxesShown()
{
    return g_lErrorBoxes.load();
}

// window.cpp - the console's window: one labelled line per view, the radio
// list, the channel row, the controls and the scrolling debug output.
#include "console.h"

struct Row {
    const wchar_t* label;
    int id;
    int height;
};

// The views, top to bottom.
static const Row kRows[] = {
    {L"Device", IDC_DEVICE, 18},
    {L"Radios", IDC_RADIOS, 48},
    {L"State \"WiFi\"", IDC_STATE, 18},
    {L"Adapter WIFI", IDC_WIFI_PARAM, 18},
    {L"Adapter Domain", IDC_DOMAIN, 18},
    {L"ChannelDomain", IDC_CHANNELS, 18},
    {L"", IDC_CHANNEL_ROW, 20},
    {L"Country", IDC_COUNTRY_RULES, 24},
    {L"Suggested row", IDC_COUNTRY_SUGGESTION, 18},
    {L"Stored row there", IDC_COUNTRY_STORED, 18},
    {L"OEM Wi-Fi switch", IDC_OEM, 18},
    {L"Locale", IDC_LOCALE, 18},
    {L"Status file", IDC_STATUS_FILE, 18},
    {L"PC card", IDC_CARD, 18},
    {L"Kernel requests", IDC_KERNEL, 18},
    {L"Device clock", IDC_CLOCK, 18},
    {L"Faults armed", IDC_FAULTS, 18},
};

struct Control {
    const wchar_t* text;
    int id;
    int x, y, width;  // y: the line of controls, 0 to 2
    DWORD style;
};

#define PUSH (WS_TABSTOP | BS_PUSHBUTTON)
#define CHECK (WS_TABSTOP | BS_CHECKBOX)  // the console checks it from the device's settings
#define COMBO (WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST)

static const Control kControls[] = {
    {L"Eject card", IDC_EJECT, 8, 0, 84, PUSH},
    {L"Insert card", IDC_INSERT, 96, 0, 84, PUSH},
    {L"OEM switch on", IDC_OEM_ON, 184, 0, 96, PUSH},
    {L"OEM switch off", IDC_OEM_OFF, 284, 0, 96, PUSH},
    {L"Signal reload", IDC_SIGNAL, 384, 0, 96, PUSH},
    {L"Power cut", IDC_POWER_CUT, 484, 0, 66, PUSH},
    {L"Factory state", IDC_FACTORY, 554, 0, 96, PUSH},
    {L"", IDC_LOCALE_LIST, 8, 1, 228, COMBO},
    {L"Set locale", IDC_LOCALE_SET, 240, 1, 80, PUSH},
    {L"", IDC_CLOCK_LIST, 384, 1, 120, COMBO},
    {L"Set clock", IDC_CLOCK_SET, 508, 1, 80, PUSH},
    {L"Refuse cold reset", IDC_REFUSE_RESET, 8, 2, 130, CHECK},
    {L"Fail next activation", IDC_FAIL_NEXT_ACT, 142, 2, 134, PUSH},
    {L"Activation always fails", IDC_FAIL_ACT, 284, 2, 160, CHECK},
    {L"State value stuck", IDC_STUCK, 452, 2, 120, CHECK},
    {L"Clear faults", IDC_CLEAR_FAULTS, 576, 2, 76, PUSH},
};

#define COUNTRY_WIDTH 56  // the country's combo box, before its rules
#define LABEL_WIDTH 112
#define VALUE_X 124
#define VALUE_WIDTH 528
#define WINDOW_WIDTH 660

static HWND Child(HWND hParent, const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y,
                  int w, int h, int id)
{
    HWND hChild = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, hParent,
                                  (HMENU)(INT_PTR)id, GetModuleHandleW(NULL), NULL);
    SendMessageW(hChild, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), FALSE);
    return hChild;
}

static void CreateChildren(HWND hWnd)
{
    int y = 8;
    for (const Row& r : kRows) {
        Child(hWnd, L"STATIC", r.label, SS_LEFT, 8, y + 2, LABEL_WIDTH, 16, -1);
        if (r.id == IDC_RADIOS) {
            Child(hWnd, L"LISTBOX", L"", WS_BORDER | LBS_NOINTEGRALHEIGHT | LBS_NOSEL, VALUE_X, y,
                  VALUE_WIDTH, r.height, r.id);
        } else if (r.id == IDC_COUNTRY_RULES) {
            Child(hWnd, L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_UPPERCASE,
                  VALUE_X, y, COUNTRY_WIDTH, 200, IDC_COUNTRY_LIST);
            Child(hWnd, L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS,
                  VALUE_X + COUNTRY_WIDTH + 6, y + 4, VALUE_WIDTH - COUNTRY_WIDTH - 6, 16, r.id);
        } else if (r.id == IDC_CHANNEL_ROW) {
            Child(hWnd, L"STATIC", L"", SS_OWNERDRAW, VALUE_X, y, VALUE_WIDTH - 136, r.height,
                  r.id);
        } else {
            Child(hWnd, L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, VALUE_X, y + 2,
                  VALUE_WIDTH, 16, r.id);
        }
        y += r.height + 2;
    }
    y += 6;
    for (const Control& c : kControls) {
        bool combo = c.style == COMBO;
        Child(hWnd, combo ? L"COMBOBOX" : L"BUTTON", c.text, c.style, c.x, y + c.y * 28, c.width,
              combo ? 160 : 24, c.id);
    }
    y += 3 * 28 + 2;
    Child(hWnd, L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_SUNKEN, 8, y, WINDOW_WIDTH - 16, 18,
          IDC_MESSAGE);
    y += 24;
    Child(hWnd, L"STATIC", L"Debug output", SS_LEFT, 8, y, 200, 16, -1);
    y += 18;
    Child(hWnd, L"LISTBOX", L"",
          WS_BORDER | WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOSEL, 8, y,
          WINDOW_WIDTH - 16, 150, IDC_LOG);
    SendDlgItemMessageW(hWnd, IDC_LOG, LB_SETHORIZONTALEXTENT, 1600, 0);
}

void FillChoiceLists(HWND hWnd)
{
    for (size_t i = 0; i < kLocaleCount; i++) {
        SendDlgItemMessageW(hWnd, IDC_LOCALE_LIST, CB_ADDSTRING, 0, (LPARAM)kLocales[i].text);
    }
    for (size_t i = 0; i < kClockCount; i++) {
        SendDlgItemMessageW(hWnd, IDC_CLOCK_LIST, CB_ADDSTRING, 0, (LPARAM)kClocks[i].text);
    }
    FillCountryList(hWnd);
}

static LRESULT OnDrawItem(const DRAWITEMSTRUCT* pdis)
{
    if (pdis->CtlID == IDC_CHANNEL_ROW) {
        DrawChannelRow(pdis);
        return TRUE;
    }
    return FALSE;
}

static LRESULT CALLBACK ConsoleWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_CREATE:
        CreateChildren(hWnd);
        FillChoiceLists(hWnd);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_COUNTRY_LIST &&
            (HIWORD(wParam) == CBN_SELCHANGE || HIWORD(wParam) == CBN_EDITCHANGE)) {
            OnCountryChanged(hWnd, HIWORD(wParam));
            return 0;
        }
        if (HIWORD(wParam) == BN_CLICKED && RunControl(hWnd, LOWORD(wParam))) {
            return 0;
        }
        break;
    case WM_DRAWITEM:
        return OnDrawItem((const DRAWITEMSTRUCT*)lParam);
    case WM_CTLCOLORSTATIC:
        SetBkMode((HDC)wParam, TRANSPARENT);
        return (LRESULT)GetSysColorBrush(COLOR_BTNFACE);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}

HWND CreateConsoleWindow(HINSTANCE hInst)
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = ConsoleWndProc;
    wc.hInstance = hInst;
    wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = CONSOLE_CLASS;
    if (!RegisterClassW(&wc)) {
        return NULL;
    }
    std::wstring title = std::wstring(CONSOLE_TITLE L" " RENDAK_VERSION L" - ") + g_device;
    RECT rc = {0, 0, WINDOW_WIDTH, 678};
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    AdjustWindowRect(&rc, style, FALSE);
    return CreateWindowExW(0, CONSOLE_CLASS, title.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                           rc.right - rc.left, rc.bottom - rc.top, NULL, NULL, hInst, NULL);
}

// --- beside another window (run.sh: beside the panel) ------------------------------

#define BESIDE_WAIT_MS 60000  // how long to look for the window to stand beside
#define BESIDE_GAP 8

static std::wstring g_beside;        // the title looked for; empty once placed
static ULONGLONG g_besideUntil = 0;  // GetTickCount64() after which it gives up

struct Search {
    const std::wstring* title;
    HWND hSelf;
    HWND hFound;
};

static BOOL CALLBACK FindVisibleTitled(HWND hWnd, LPARAM lParam)
{
    Search* s = (Search*)lParam;
    wchar_t text[256] = L"";
    if (hWnd != s->hSelf && IsWindowVisible(hWnd) && GetWindowTextW(hWnd, text, 256) &&
        *s->title == text) {
        s->hFound = hWnd;
        return FALSE;
    }
    return TRUE;
}

void PlaceBeside(HWND hWnd, const std::wstring& title)
{
    g_beside = title;
    g_besideUntil = GetTickCount64() + BESIDE_WAIT_MS;
    PlaceBesideTick(hWnd);
}

// To the right of the window when there is room on its screen, else to its
// left; with room on neither side, the window moves to the screen's left edge
// and the console stands to its right.
void PlaceBesideTick(HWND hWnd)
{
    if (g_beside.empty()) {
        return;
    }
    if (GetTickCount64() > g_besideUntil) {
        g_beside.clear();
        return;
    }
    Search s = {&g_beside, hWnd, NULL};
    EnumWindows(FindVisibleTitled, (LPARAM)&s);
    if (!s.hFound) {
        return;
    }
    RECT target, self;
    GetWindowRect(s.hFound, &target);
    GetWindowRect(hWnd, &self);
    MONITORINFO mi = {};
    mi.cbSize = sizeof(mi);
    GetMonitorInfoW(MonitorFromWindow(s.hFound, MONITOR_DEFAULTTONEAREST), &mi);
    const RECT& work = mi.rcWork;
    int width = self.right - self.left, height = self.bottom - self.top;
    int x;
    if (target.right + BESIDE_GAP + width <= work.right) {
        x = target.right + BESIDE_GAP;
    } else if (target.left - BESIDE_GAP - width >= work.left) {
        x = target.left - BESIDE_GAP - width;
    } else {
        SetWindowPos(s.hFound, NULL, work.left, target.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        x = work.left + (target.right - target.left) + BESIDE_GAP;
    }
    int y = target.top;
    if (y + height > work.bottom) {
        y = work.bottom - height;
    }
    if (y < work.top) {
        y = work.top;
    }
    SetWindowPos(hWnd, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    g_beside.clear();
}

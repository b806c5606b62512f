// panel.h - what Quenta's shell and its control dialog share.
#pragma once

#include <windows.h>

// The control dialog's procedure, run modally by the main window.
INT_PTR CALLBACK ControlDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

// resource.h - identifiers of Quenta's resources and of its dialog's controls.
#pragma once

// Strings, loaded into buffers of MAX_LOADSTRING characters.
#define IDS_APP_TITLE 1  // the main window's title
#define IDS_APP_CLASS 2  // the main window's class name
#define MAX_LOADSTRING 100

#define IDA_MAIN 2              // accelerator table
#define IDD_CONTROL_DIALOG 129  // the control dialog
#define IDI_APP_ICON 130        // the window class's icon

// Commands of the accelerator table. The main window acts on no command.
#define IDM_ACCEL_CTRL_Q 40000
#define IDM_ACCEL_CTRL_A 40002

// Controls of the control dialog.
#define IDC_TURN_ON_WIFI 1000
#define IDC_TURN_OFF_WIFI 1001
#define IDC_REGULATORY_LIST 1002
#define IDC_SET_REGULATORY 1003
#define IDC_HARD_RESET 1004
#define IDC_INIT_WIFI 1005
#define IDC_CLOSE_WIFI 1006

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

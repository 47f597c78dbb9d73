// Resource and control ids of the bootstrapper's executable. Read by the C++ code and by the
// resource compiler, so only #define lines.
#pragma once

#define IDC_STATIC (-1)
#define IDR_MAINFRAME 128
#define IDS_ABOUTBOX 101
#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDD_BOOTSTRAPPER_DIALOG 102
#define IDD_ONLYONEATATIME_DIALOG 135
#define IDB_BUTTON_NORMAL 133
#define IDB_BUTTON_PRESSED 134

#define IDC_PROGRESS 1001
#define IDC_STATUS 1002
#define IDC_BOOTSTRAPPER_VERSION 1003
#define IDC_CLIENT_VERSION 1006

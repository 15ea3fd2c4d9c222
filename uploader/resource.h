// Resource identifiers of Ulvane.exe.
//
// Shared by ulvane.rc and the program; nothing to own.
#pragma once
#define IDS_APP_TITLE 103
#define IDI_ULVANE 107
#define IDI_SMALL 108
#define IDC_ULVANE 109
#define IDM_ABOUT 104
#define IDM_EXIT 105

// Resource and command identifiers shared by the code and VelmoMon.rc.
#pragma once

#define IDS_STARTUPFAILED 1
#define IDI_TRAYICON 106
// The tray images at the notification area's sizes, in 32-bit colour.
#define IDI_TRAYIMAGES 107
#define IDD_ABOUTBOX 109

#define IDM_EXIT 40002
#define IDM_PINTOOL 40003
#define IDM_ABOUT 40004

#ifndef IDC_STATIC
#define IDC_STATIC -1
#endif

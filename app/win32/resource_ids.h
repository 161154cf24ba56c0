#pragma once

// Identifiers of the Win32 window's resources; shared by the resource script and the code.
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_LUMAFLASH_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_INTERFACE_LIST 1000
#define IDC_FIND 1001
#define IDC_FIRMWARE_UPDATE 1002
#define IDC_STATUS_LOG 1003
#define IDC_PROGRESS 1004
#define IDC_USE_LAST_AGAIN 1005

// Resource identifiers shared by the resource script and the code.
#pragma once

#define IDD_BRISANT_DIALOG 102
#define IDR_MAINFRAME 128
#define IDC_DRIVE_COMBO 1000
#define IDC_CAPACITY 1001
#define IDC_REFRESH 1004
#define IDC_PROGRESS 1005

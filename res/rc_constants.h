// Win32 values the resource script uses. Defined here so the script compiles
// with windres without the Windows SDK headers; the values are fixed by the ABI.
#pragma once

#define IDOK 1
#define IDCANCEL 2
#define IDC_STATIC (-1)

#define LANG_CHINESE 0x04
#define SUBLANG_CHINESE_TRADITIONAL 0x01
#define SUBLANG_CHINESE_SIMPLIFIED 0x02

#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_VSCROLL 0x00200000L
#define WS_SYSMENU 0x00080000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L

#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L

#define BS_PUSHBUTTON 0x0L
#define BS_DEFPUSHBUTTON 0x1L

#define SS_LEFT 0x0L
#define SS_SUNKEN 0x1000L

#define CBS_SIMPLE 0x1L
#define CBS_DROPDOWN 0x2L
#define CBS_SORT 0x100L

#define PBS_SMOOTH 0x1L

#define VS_VERSION_INFO 1
#define VOS__WINDOWS32 0x4L
#define VFT_APP 0x1L

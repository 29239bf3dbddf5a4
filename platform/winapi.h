// The system names: the Windows types and services the program calls
// (sys::CreateFileA, DeviceIoControl, GlobalAlloc...). On Windows they are
// the real ones (sys_win32.cpp); elsewhere sys_linux.cpp provides them with
// the same contracts, its volumes served by the volume handles over the SCSI
// seam. device/, repair/ and afx/ include this; platform/ includes only
// scsi/ below it.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
#else

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using UCHAR = std::uint8_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using BOOL = int;
using SIZE_T = std::size_t;
using PVOID = void*;
using LPVOID = void*;
using HANDLE = void*;
using HGLOBAL = void*;
using LPCSTR = const char*;
using LPSTR = char*;
using LPDWORD = DWORD*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
struct HWND__;
using HWND = HWND__*;
struct HICON__;
using HICON = HICON__*;
struct _SECURITY_ATTRIBUTES;
struct _OVERLAPPED;
using LPSECURITY_ATTRIBUTES = _SECURITY_ATTRIBUTES*;
using LPOVERLAPPED = _OVERLAPPED*;
using WNDENUMPROC = BOOL (*)(HWND, LPARAM);
using PHANDLER_ROUTINE = BOOL (*)(DWORD);

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define CALLBACK
#define WINAPI

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u

#define IOCTL_SCSI_PASS_THROUGH_DIRECT 0x0004D014u
#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2

#define GMEM_MOVEABLE 0x0002u
#define GMEM_ZEROINIT 0x0040u

#define WM_COMMAND 0x0111u

#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u

// The pass-through header as the platform lays it out for this pointer width.
struct SCSI_PASS_THROUGH_DIRECT {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
};

#endif

// The kernel and window services the program calls, under names of its own:
// on Windows the programs link the real API behind them, elsewhere the
// stand-ins; tests link doubles either way.
namespace sys {

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                     DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
LPVOID GlobalLock(HGLOBAL memory);
BOOL GlobalUnlock(HGLOBAL memory);
HGLOBAL GlobalFree(HGLOBAL memory);

void Sleep(DWORD milliseconds);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

BOOL EnumWindows(WNDENUMPROC callback, LPARAM param);
int GetClassNameA(HWND window, LPSTR className, int maxCount);
int lstrcmpiA(LPCSTR a, LPCSTR b);
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace sys

// The volume handles the platform layer serves itself, over the drive map:
// every handle on a build without Windows, and mapped letters on Windows.
#pragma once

#include "platform/winapi.h"

namespace platform::volumes {

// The letter of "\\.\X:" (D to Z, either case); 0 for any other path.
char LetterOfPath(LPCSTR path);
bool IsMapped(char letter);
// A handle on "\\.\X:" opened for reading and writing, as CreateFileA is
// asked for it; INVALID_HANDLE_VALUE for anything else or when nothing
// behind the letter opens.
HANDLE Open(LPCSTR path, DWORD access, DWORD disposition);
bool Owns(HANDLE handle);
BOOL Close(HANDLE handle);
BOOL PassThrough(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                 LPDWORD bytesReturned, LPOVERLAPPED overlapped);

}  // namespace platform::volumes

namespace platform {
// Handles currently open on volumes.
int OpenVolumeCount();
}  // namespace platform

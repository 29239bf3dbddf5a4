// The volume handles the platform layer serves itself, over the drive map:
// every handle on a build without Windows, and mapped letters on Windows.
#pragma once

#include <memory>
#include <string>

#include "platform/scsi_target.h"
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

// Provided by whichever system layer is linked: the volume of a letter that
// the map leaves alone (null and an empty name without one), and whether
// letters may be mapped to card images.
std::shared_ptr<ScsiTarget> OpenSystemVolume(char letter);
std::string SystemVolumeName(char letter);
bool ServesCardImages();

}  // namespace platform::volumes

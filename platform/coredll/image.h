// image.h - the device's committed state on disk (image.cpp).
#pragma once

#include <windows.h>

#include <string>

// The image file of the device whose host folder is folder.
std::wstring ImagePath(const std::wstring& folder);
// Which commit an image holds: the device's incarnation (new each time a
// device of that name is made) and the commit's generation within it.
struct ImageStamp {
    ULONGLONG incarnation = 0;
    ULONGLONG generation = 0;  // 0: no image (or not a whole one)
};
// Writes a snapshot of the device's host key hDevice (its HKLM, Settings and
// Kernel, and its stamp), durably, replacing the old image in one step.
bool ImageWrite(const std::wstring& folder, HKEY hDevice);
// Removes the new images that commits cut short left (a process killed, or
// whose end cut its committing thread short). With the device's lock held:
// no commit is under way then.
void ImageRemoveUnfinished(const std::wstring& folder);
// The stamp of the committed image.
ImageStamp ImageStampOf(const std::wstring& folder);
// Replaces the device's host key hDevice by the committed image.
bool ImageRestore(const std::wstring& folder, HKEY hDevice);

// kernel.cpp - the simulated kernel and OEM adaptation layer: cold reset,
// clock and reboot requests through KernelIoControl. Every request is
// journalled and counted in the device's kernel record (the key Kernel beside
// the device's settings, which a cold reset leaves alone). A reboot after an
// accepted cold reset restores the factory image; under the virtual clock it
// is only recorded, so that a test can look; otherwise it ends every process
// of the device (observers such as the device console excepted). The model is
// in docs/radios.md.
#include "sim.h"

#include <handheld_radio.h>

#include <atomic>
#include <mutex>
#include <stdio.h>

static std::mutex g_kernelLock;  // one request at a time in this process

// The request codes as unsigned words (the cold reset's device type sets the top bit).
static const DWORD kColdReset = (DWORD)IOCTL_OEM_COLDRESET;
static const DWORD kInitClock = (DWORD)IOCTL_HAL_INIT_RTC;
static const DWORD kReboot = (DWORD)IOCTL_HAL_REBOOT;

std::wstring KernelKeyPath()
{
    return DeviceKeyPath() + L"\\" KERNEL_SUBKEY;
}

static DWORD ReadKernelDword(const wchar_t* name)
{
    DWORD value = 0, cb = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, KernelKeyPath().c_str(), name, RRF_RT_REG_DWORD, NULL,
                     &value, &cb) != ERROR_SUCCESS) {
        return 0;
    }
    return value;
}

static void WriteKernelValue(const wchar_t* name, DWORD type, const void* data, DWORD cb)
{
    HKEY hKey = CreateDeviceSubkey(KERNEL_SUBKEY);
    if (hKey == NULL) {
        return;
    }
    RegSetValueExW(hKey, name, 0, type, (const BYTE*)data, cb);
    RegCloseKey(hKey);
    DeviceCommit();
}

static void WriteKernelDword(const wchar_t* name, DWORD value)
{
    WriteKernelValue(name, REG_DWORD, &value, sizeof(value));
}

static void CountRequest(const wchar_t* name)
{
    WriteKernelDword(name, ReadKernelDword(name) + 1);
}

static std::wstring FormatTime(const SYSTEMTIME& st)
{
    wchar_t text[96];
    swprintf(text, 96, L"%u,%u,%u,%u,%u,%u,%u,%u", st.wYear, st.wMonth, st.wDayOfWeek, st.wDay,
             st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return text;
}

static BOOL Refuse(DWORD code, DWORD size, const std::wstring& input, DWORD error)
{
    Journal(SIM_J_KERNEL L"|0x%08lX|%lu|%ls|refused:%lu", code, size, input.c_str(), error);
    SetLastError(error);
    return FALSE;
}

static BOOL Accept(DWORD code, DWORD size, const std::wstring& input, LPDWORD pReturned)
{
    Journal(SIM_J_KERNEL L"|0x%08lX|%lu|%ls|accepted", code, size, input.c_str());
    if (pReturned) {
        *pReturned = 0;
    }
    return TRUE;
}

// The OEM layer's cold reset: takes one DWORD holding 1 and arms the next
// reboot to restore the factory image.
static BOOL ColdReset(LPVOID pIn, DWORD cbIn, LPDWORD pReturned)
{
    if (!pIn || cbIn != sizeof(DWORD)) {
        return Refuse(kColdReset, cbIn, L"-", ERROR_INVALID_PARAMETER);
    }
    DWORD value = *(const DWORD*)pIn;
    std::wstring input = std::to_wstring(value);
    if (value != 1) {
        return Refuse(kColdReset, cbIn, input, ERROR_INVALID_PARAMETER);
    }
    if (SimGetSetting(SIM_SETTING_REFUSE_COLD_RESET, 0)) {
        CountRequest(L"ColdResetsRefused");
        return Refuse(kColdReset, cbIn, input, ERROR_ACCESS_DENIED);
    }
    CountRequest(L"ColdResets");
    SetSetting(SIM_SETTING_COLD_RESET_ARMED, 1);
    return Accept(kColdReset, cbIn, input, pReturned);
}

// The clock request: a valid SYSTEMTIME is recorded as the clock's new time
// (the device's time of day itself keeps running from the host's).
static BOOL InitClock(LPVOID pIn, DWORD cbIn, LPDWORD pReturned)
{
    if (!pIn || cbIn != sizeof(SYSTEMTIME)) {
        return Refuse(kInitClock, cbIn, L"-", ERROR_INVALID_PARAMETER);
    }
    SYSTEMTIME st;
    memcpy(&st, pIn, sizeof(st));
    std::wstring input = FormatTime(st);
    FILETIME ft;
    if (!SystemTimeToFileTime(&st, &ft) || st.wDayOfWeek > 6) {
        return Refuse(kInitClock, cbIn, input, ERROR_INVALID_PARAMETER);
    }
    if (SimGetSetting(SIM_SETTING_REFUSE_CLOCK, 0)) {
        CountRequest(L"ClockRefused");
        return Refuse(kInitClock, cbIn, input, ERROR_ACCESS_DENIED);
    }
    CountRequest(L"ClockSets");
    WriteKernelValue(L"LastClock", REG_BINARY, &st, sizeof(st));
    return Accept(kInitClock, cbIn, input, pReturned);
}

// The reboot: a cold one when a cold reset was accepted, else a warm one.
static BOOL Reboot(LPVOID pIn, DWORD cbIn, LPDWORD pReturned)
{
    if (pIn || cbIn) {
        return Refuse(kReboot, cbIn, L"-", ERROR_INVALID_PARAMETER);
    }
    bool cold = SimGetSetting(SIM_SETTING_COLD_RESET_ARMED, 0) != 0;
    CountRequest(L"Reboots");
    Accept(kReboot, cbIn, L"-", pReturned);
    if (ClockIsVirtual()) {
        // Under test the device stays as it is; the cold reset stays armed.
        Journal(SIM_J_DEVICE L"|reboot|%ls|recorded", cold ? L"cold" : L"warm");
        return TRUE;
    }
    Journal(SIM_J_DEVICE L"|reboot|%ls|restarting", cold ? L"cold" : L"warm");
    SetSetting(SIM_SETTING_COLD_RESET_ARMED, 0);
    if (cold) {
        SimResetDevice();
    }
    CountRequest(L"Restarts");
    WriteKernelDword(L"Boot", ReadKernelDword(L"Boot") + 1);
    // Every process of the device ends with the restart, this one last; those
    // on the virtual clock are tests looking at the device, and stay.
    EndDeviceProcesses(DeviceName(), 0, false);
    ExitProcess(0);
}

// A boot after a power cut: an armed cold reset is forgotten with the memory
// that held it, and the kernel's record counts the cut.
void KernelBootAfterPowerCut()
{
    SetSetting(SIM_SETTING_COLD_RESET_ARMED, 0);
    CountRequest(L"PowerCuts");
}

extern "C" {

BOOL WINAPI CeKernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize,
                              LPVOID lpOutBuf, DWORD nOutBufSize, LPDWORD lpBytesReturned)
{
    std::lock_guard<std::mutex> lock(g_kernelLock);
    // None of the three requests gives anything back.
    if (lpOutBuf || nOutBufSize) {
        return Refuse(dwIoControlCode, nInBufSize, L"-", ERROR_INVALID_PARAMETER);
    }
    switch (dwIoControlCode) {
    case kColdReset:
        return ColdReset(lpInBuf, nInBufSize, lpBytesReturned);
    case kInitClock:
        return InitClock(lpInBuf, nInBufSize, lpBytesReturned);
    case kReboot:
        return Reboot(lpInBuf, nInBufSize, lpBytesReturned);
    }
    return Refuse(dwIoControlCode, nInBufSize, L"-", ERROR_NOT_SUPPORTED);
}

SIM_API DWORD WINAPI SimKernelCounter(LPCWSTR pszName)
{
    return pszName ? ReadKernelDword(pszName) : 0;
}

SIM_API BOOL WINAPI SimKernelLastClock(SYSTEMTIME* pTime)
{
    SYSTEMTIME st;
    DWORD cb = sizeof(st);
    if (!pTime ||
        RegGetValueW(HKEY_CURRENT_USER, KernelKeyPath().c_str(), L"LastClock", RRF_RT_REG_BINARY,
                     NULL, &st, &cb) != ERROR_SUCCESS ||
        cb != sizeof(st)) {
        return FALSE;
    }
    *pTime = st;
    return TRUE;
}

}  // extern "C"

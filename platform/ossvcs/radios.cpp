// radios.cpp - simulated: the wireless-device interface of the OS services.
// GetWirelessDevices builds a fresh RDD list from the device's radio list (kept
// by the core library, see docs/radios.md), ChangeRadioState switches one
// listed radio, FreeDeviceList returns a list. Every list handed out is
// tracked, so that a record of a freed list, or a second free, is refused
// instead of touching freed memory, and counted for the tests.
#include "ossvcs.h"

#include <handheld_radio.h>

#include <mutex>
#include <set>
#include <string>

static std::mutex g_listLock;         // guards the two sets below
static std::set<RDD*> g_liveLists;    // heads of the lists handed out and not yet freed
static std::set<RDD*> g_liveRecords;  // every record of those lists

static LPWSTR CopyText(const WCHAR* text)
{
    size_t cb = (wcslen(text) + 1) * sizeof(WCHAR);
    LPWSTR copy = (LPWSTR)HeapAlloc(GetProcessHeap(), 0, cb);
    if (copy) {
        memcpy(copy, text, cb);
    }
    return copy;
}

static void FreeRecords(RDD* pRoot)
{
    while (pRoot) {
        RDD* pNext = pRoot->pNext;
        HeapFree(GetProcessHeap(), 0, pRoot->pszDeviceName);
        HeapFree(GetProcessHeap(), 0, pRoot->pszDisplayName);
        HeapFree(GetProcessHeap(), 0, pRoot);
        pRoot = pNext;
    }
}

extern "C" {

// Hands out the radios the device lists now, in order; no radios: no list.
HRESULT WINAPI OsGetWirelessDevices(RDD** pDevices, DWORD dwFlags)
{
    if (!pDevices) {
        Note(SIM_J_GET_WIRELESS L"|%lu|invalid", dwFlags);
        return E_POINTER;
    }
    *pDevices = NULL;
    RDD* pHead = NULL;
    RDD** ppTail = &pHead;
    DWORD count = 0;
    SIMRADIO radio;
    for (DWORD i = 0; SimGetRadio(i, &radio); i++) {
        if (!radio.bListed) {
            continue;
        }
        RDD* pDev = (RDD*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(RDD));
        if (!pDev) {
            FreeRecords(pHead);
            Note(SIM_J_GET_WIRELESS L"|%lu|out of memory", dwFlags);
            return E_OUTOFMEMORY;
        }
        pDev->pszDeviceName = CopyText(radio.szName);
        pDev->pszDisplayName = CopyText(radio.szDisplay);
        pDev->dwState = radio.dwPower;
        pDev->dwDesired = radio.dwPower;
        pDev->DeviceType = (RADIODEVTYPE)radio.dwType;
        *ppTail = pDev;
        ppTail = &pDev->pNext;
        count++;
        if (!pDev->pszDeviceName || !pDev->pszDisplayName) {
            FreeRecords(pHead);
            Note(SIM_J_GET_WIRELESS L"|%lu|out of memory", dwFlags);
            return E_OUTOFMEMORY;
        }
    }
    Note(SIM_J_GET_WIRELESS L"|%lu|%lu", dwFlags, count);
    if (!pHead) {
        return S_OK;
    }
    {
        std::lock_guard<std::mutex> lock(g_listLock);
        g_liveLists.insert(pHead);
        for (RDD* p = pHead; p; p = p->pNext) {
            g_liveRecords.insert(p);
        }
    }
    SimRadioNoteList(SIM_RADIO_LIST_ISSUED);
    *pDevices = pHead;
    return S_OK;
}

// Switches one radio of a list still held. The save action is accepted as
// given: the simulated radios keep their power across restarts anyway.
HRESULT WINAPI OsChangeRadioState(RDD* pDev, DWORD dwState, SAVEACTION sa)
{
    std::wstring name;
    {
        std::lock_guard<std::mutex> lock(g_listLock);
        if (pDev && g_liveRecords.count(pDev)) {
            name = pDev->pszDeviceName;
        }
    }
    if (name.empty()) {
        Note(SIM_J_CHANGE_RADIO L"|?|%lu|%d|unknown record", dwState, (int)sa);
        return E_INVALIDARG;
    }
    if (dwState > 1 || (int)sa < RADIODEVICES_DONT_SAVE || (int)sa > RADIODEVICES_POST_SAVE) {
        Note(SIM_J_CHANGE_RADIO L"|%ls|%lu|%d|invalid", name.c_str(), dwState, (int)sa);
        return E_INVALIDARG;
    }
    HRESULT hr = SimRadioSwitch(name.c_str(), dwState);
    Note(SIM_J_CHANGE_RADIO L"|%ls|%lu|%d|0x%08lX", name.c_str(), dwState, (int)sa,
         (unsigned long)hr);
    if (SUCCEEDED(hr)) {
        std::lock_guard<std::mutex> lock(g_listLock);
        if (g_liveRecords.count(pDev)) {
            pDev->dwState = dwState;
            pDev->dwDesired = dwState;
        }
    }
    return hr;
}

// Returns a whole list; a list that was never handed out, or was already
// returned, is left alone and counted.
HRESULT WINAPI OsFreeDeviceList(RDD* pRoot)
{
    bool known;
    {
        std::lock_guard<std::mutex> lock(g_listLock);
        known = pRoot && g_liveLists.erase(pRoot) == 1;
        if (known) {
            for (RDD* p = pRoot; p; p = p->pNext) {
                g_liveRecords.erase(p);
            }
        }
    }
    if (!known) {
        Note(SIM_J_FREE_LIST L"|unknown");
        SimRadioNoteList(SIM_RADIO_LIST_BAD_FREE);
        return E_INVALIDARG;
    }
    FreeRecords(pRoot);
    Note(SIM_J_FREE_LIST L"|ok");
    SimRadioNoteList(SIM_RADIO_LIST_FREED);
    return S_OK;
}

}  // extern "C"

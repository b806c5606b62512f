// radios.cpp - the wireless-device list. PLACEHOLDER: completed with the
// radio work; until then the device lists no radios.
#define WINCE_HOST_CRT
#include <handheld.h>
#include <wince.h>

extern "C" {

HRESULT WINAPI OsGetWirelessDevices(RDD** pDevices, DWORD dwFlags)
{
    (void)dwFlags;
    if (pDevices) {
        *pDevices = NULL;
    }
    return S_OK;
}

HRESULT WINAPI OsChangeRadioState(RDD* pDev, DWORD dwState, SAVEACTION sa)
{
    (void)pDev, (void)dwState, (void)sa;
    return E_FAIL;
}

HRESULT WINAPI OsFreeDeviceList(RDD* pRoot)
{
    (void)pRoot;
    return S_OK;
}

}  // extern "C"

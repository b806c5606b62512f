// rendak_domains.h - the regulatory domain table: the seven rows a caller
// chooses by index, with the name the panel lists, the domain code stored for
// the adapter driver and the channel mask stored for the vendor key (bit n-1
// allows 2.4 GHz channel n). The one definition of the table.
#pragma once

#include <windows.h>

typedef struct RENDAKDOMAIN {
    LPCWSTR pszName;  // as shown to the user
    DWORD dwCode;     // "Domain" for the adapter (IEEE 802.11 domain code)
    DWORD dwMask;     // "ChannelDomain"
} RENDAKDOMAIN;

#define RENDAK_DOMAIN_COUNT 7

static const RENDAKDOMAIN g_aRendakDomains[RENDAK_DOMAIN_COUNT] = {
    {L"None", 0x00, 0x0000},         //
    {L"USA, FCC", 0x10, 0x07FF},     // channels 1-11
    {L"Canada IC", 0x20, 0x07FF},    // channels 1-11
    {L"Europe ETSI", 0x30, 0x1FFF},  // channels 1-13
    {L"France", 0x32, 0x1E00},       // channels 10-13
    {L"Spain", 0x31, 0x0600},        // channels 10-11
    {L"Japan MKK", 0x40, 0x3FFF},    // channels 1-14
};

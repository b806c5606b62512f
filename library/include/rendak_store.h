// rendak_store.h - what the library keeps, and where: the registry keys and
// values (all below HKEY_LOCAL_MACHINE) that it and the adapter driver read,
// the status file, and the named reload event. Tools and tests that look at
// what the library did read these names from here.
#pragma once

#define REG_OEM_KEY L"SOFTWARE\\OEMGeneric"        // "WIFI": the OEM Wi-Fi switch
#define REG_ADAPTER_KEY L"Comm\\TRXD385L1\\Parms"  // "Domain", "WIFI": the driver's parameters
#define REG_VENDOR_KEY L"SOFTWARE\\Velmont"        // "Domain" (always 0x99), "ChannelDomain"
#define REG_STATE_KEY L"System\\State\\Hardware"   // "WiFi": the platform's state value
#define REG_LOCALE_KEY L"Nls"                      // "SystemLCID": the string library's locale
#define PCCARD_DRIVER_KEY L"Drivers\\PCMCIA\\VELMONT-TRX3850_802.11g_PC_Card-A103"
#define STATUS_FILE L"\\Application Data\\WiFi_status.txt"  // "1" when last left on
#define RELOAD_EVENT_NAME L"Olbrin_ReloadWiFi"

// The values' names, as the keys above hold them.
#define REG_WIFI_VALUE L"WIFI"                     // OEM switch; adapter parameter
#define REG_DOMAIN_VALUE L"Domain"                 // adapter domain code; vendor mark
#define REG_CHANNEL_DOMAIN_VALUE L"ChannelDomain"  // vendor channel mask
#define REG_STATE_VALUE L"WiFi"                    // the platform's state bits
#define REG_LCID_VALUE L"SystemLCID"               // the locale

#define VENDOR_DOMAIN_MARK 0x99  // the vendor's "Domain", and the state mark of a cleared domain

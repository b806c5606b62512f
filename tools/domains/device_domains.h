// device_domains.h - the device's regulatory domain table, as the library
// stores it (the adapter's "Domain" code and the "ChannelDomain" mask), for
// the tools: the command-line tool names and stores its rows, the console
// shows them, and both judge them against today's rules. The rows are the
// library's own (rendak_domains.h); the tools add a short alias to each.
#pragma once

#include <advice.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct DeviceDomain {
    int index;          // the row, as the panel lists it
    std::string name;   // as the panel lists it
    std::string alias;  // two-letter form ("none" for row 0)
    uint32_t code;      // the adapter's "Domain"
    uint32_t mask;      // "ChannelDomain": bit n-1 allows channel n
};

// The table, in the library's order.
const std::vector<DeviceDomain>& DeviceDomains();

// The row with this code, or NULL.
const DeviceDomain* DeviceDomainOfCode(uint32_t code);
// The table as the advice takes it.
std::vector<regdb::DomainRow> DeviceDomainRows();

// 3 "Europe ETSI"
std::string DomainLabel(const DeviceDomain& row);
// The domain stored on a device (the adapter's "Domain", "ChannelDomain"), as
// the advice judges it: its code's row with the mask as stored. Nothing stored
// reads as the empty row, as the library reads it.
regdb::DomainRow StoredDomainRow(std::optional<uint32_t> code, std::optional<uint32_t> mask);
// Short: 4 "France"; 3 "Europe ETSI", mask 0x07FF (channels 1-11); code 0x77
// (no row has it), mask ...; nothing (read as 0 "None").
std::string StoredDomainText(std::optional<uint32_t> code, std::optional<uint32_t> mask);

// What a suggestion says of the row named for the country: "it is the row
// named for FR", "it is the row named for DE's region", "against 4 "France",
// the row named for FR: gains 1-9, loses nothing", or "no row is named for MX".
std::string NamedRowText(const regdb::Suggestion& suggestion);
// The other lawful rows with as many channels: "2 "Canada IC"", or "".
std::string EqualsText(const regdb::Suggestion& suggestion);

// domains.cpp - the regulatory domain table as the tool names and shows it.
#include "rendakctl.h"

#include <regdb.h>

#include <ctype.h>

static bool SameWord(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) {
            return false;
        }
    }
    return true;
}

int ParseDomain(const std::string& word)
{
    // An index is one digit: "07", "+3" or "3x" are not indexes.
    if (word.size() == 1 && word[0] >= '0' && word[0] <= '6') {
        return word[0] - '0';
    }
    for (const Domain& d : DeviceDomains()) {
        if (SameWord(word, d.name) || SameWord(word, d.alias)) {
            return d.index;
        }
    }
    return -1;
}

int DomainIndexOfCode(DWORD code)
{
    for (const Domain& d : DeviceDomains()) {
        if (d.code == code) {
            return d.index;
        }
    }
    return -1;
}

std::vector<int> ChannelsOf(DWORD mask)
{
    std::vector<int> channels;
    for (int n = 1; n <= 14; n++) {
        if (mask & (1u << (n - 1))) {
            channels.push_back(n);
        }
    }
    return channels;
}

std::string ChannelText(DWORD mask)
{
    return regdb::ChannelListText(mask & 0x3FFF);  // channels 1 to 14
}

std::string DomainChoices()
{
    std::string text = "an index 0-6 or one of:";
    for (const Domain& d : DeviceDomains()) {
        text += std::string(d.index ? ", \"" : " \"") + d.name + "\" (" + d.alias + ")";
    }
    return text;
}

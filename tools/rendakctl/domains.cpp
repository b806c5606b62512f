// domains.cpp - the regulatory domain table as the tool names and shows it.
#include "rendakctl.h"

#include <ctype.h>
#include <stdio.h>

// Rows, codes and masks as the library stores them. The notes say where the
// table is narrower than the rules in force today; the stored values stay.
const Domain g_aDomains[7] = {
    {0, "None", "none", 0x00, 0x0000, NULL},
    {1, "USA, FCC", "us", 0x10, 0x07FF, NULL},
    {2, "Canada IC", "ca", 0x20, 0x07FF, NULL},
    {3, "Europe ETSI", "eu", 0x30, 0x1FFF, NULL},
    {4, "France", "fr", 0x32, 0x1E00, "the table allows 10-13; current French rules allow 1-13"},
    {5, "Spain", "es", 0x31, 0x0600,
     "the table allows 10 and 11; current Spanish rules allow 1-13"},
    {6, "Japan MKK", "jp", 0x40, 0x3FFF, NULL},
};

static bool SameWord(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; i++) {
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

int ParseDomain(const std::string& word)
{
    // An index is one digit: "07", "+3" or "3x" are not indexes.
    if (word.size() == 1 && word[0] >= '0' && word[0] <= '6') {
        return word[0] - '0';
    }
    for (const Domain& d : g_aDomains) {
        if (SameWord(word, d.name) || (d.alias && SameWord(word, d.alias))) {
            return d.index;
        }
    }
    return -1;
}

int DomainIndexOfCode(DWORD code)
{
    for (const Domain& d : g_aDomains) {
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
    std::vector<int> ch = ChannelsOf(mask);
    if (ch.empty()) {
        return "none";
    }
    std::string text;
    for (size_t i = 0; i < ch.size();) {
        size_t j = i;
        while (j + 1 < ch.size() && ch[j + 1] == ch[j] + 1) {
            j++;
        }
        char part[16];
        if (j - i >= 2) {
            snprintf(part, sizeof(part), "%d-%d", ch[i], ch[j]);
            i = j + 1;
        } else {
            snprintf(part, sizeof(part), "%d", ch[i]);
            i++;
        }
        text += (text.empty() ? "" : ", ") + std::string(part);
    }
    return text;
}

std::string DomainChoices()
{
    std::string text = "an index 0-6 or one of:";
    for (const Domain& d : g_aDomains) {
        text += std::string(d.index ? ", \"" : " \"") + d.name + "\" (" + d.alias + ")";
    }
    return text;
}

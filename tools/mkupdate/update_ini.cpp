#include "mkupdate/update_ini.h"

#include <stdio.h>

#include <algorithm>
#include <map>

#include "mkupdate/pack.h"

namespace {

std::string Trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    const size_t last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

bool IsLead(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Cuts an update value the way the updater's list reader does: blanks skipped before an item,
// an item ended by a comma, CR, LF or the end, an empty item ending the list, and a byte before
// a colon at an item's start taken as a disc prefix and dropped.
std::vector<std::string> CutItems(const std::string& value, size_t most, bool* lostPrefix) {
    std::vector<std::string> items;
    size_t pos = 0;
    while (items.size() < most) {
        while (pos < value.size() && (value[pos] == ' ' || value[pos] == '\t'))
            ++pos;
        if (pos >= value.size() || value[pos] == ',' || value[pos] == '\r' || value[pos] == '\n')
            break;
        if (pos + 1 < value.size() && value[pos + 1] == ':') {
            *lostPrefix = true;
            pos += 2;
        }
        const size_t end = value.find_first_of(",\r\n", pos);
        items.push_back(
            value.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return items;
}

} // namespace

std::vector<IniSection> ParseIni(const std::string& text) {
    std::vector<IniSection> ini;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            ini.push_back(IniSection{
                Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1)),
                {}});
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || ini.empty())
            continue;
        std::string value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        ini.back().keys.push_back(IniKey{Trim(line.substr(0, eq)), value});
    }
    return ini;
}

int IniValue(const std::vector<IniSection>& ini, const char* section, const std::string& key,
             std::string* value) {
    for (const IniSection& s : ini) {
        if (FoldName(s.name) != FoldName(section))
            continue;
        // The first section of that name is the one read.
        for (const IniKey& k : s.keys)
            if (FoldName(k.name) == FoldName(key)) {
                *value = k.value;
                return value->empty() ? 0 : 1;
            }
        break;
    }
    value->clear();
    return 0;
}

int IsCp932(const std::string& text, size_t* badAt) {
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = (unsigned char)text[i];
        if (IsLead(c)) {
            const unsigned char t = i + 1 < text.size() ? (unsigned char)text[i + 1] : 0;
            if (t < 0x40 || t == 0x7F || t > 0xFC) {
                *badAt = i;
                return 0;
            }
            ++i;
        } else if (c == 0x80 || c == 0xA0 || c >= 0xFD) {
            *badAt = i;
            return 0;
        }
    }
    return 1;
}

int LooksLikeUtf8(const std::string& text) {
    bool multi = false;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = (unsigned char)text[i];
        size_t n = c < 0x80             ? 0
                   : (c & 0xE0) == 0xC0 ? 1
                   : (c & 0xF0) == 0xE0 ? 2
                   : (c & 0xF8) == 0xF0 ? 3
                                        : 9;
        if (n == 9 || (c >= 0x80 && c < 0xC2))
            return 0;
        if (n && i + n >= text.size())
            return 0;
        for (size_t k = 1; k <= n; ++k)
            if (((unsigned char)text[i + k] & 0xC0) != 0x80)
                return 0;
        multi = multi || n > 0;
        i += n + 1;
    }
    return multi ? 1 : 0;
}

std::string KeyName(const char* format, int n) {
    char key[32];
    snprintf(key, sizeof key, format, n);
    return key;
}

int ListKeys(const char* format) {
    return std::string(format) == "CopyFile%02i" ? kListKeys : kLongListKeys;
}

std::vector<std::string> ReadNumberedList(const std::vector<IniSection>& ini, const char* format,
                                          const char* what, std::vector<std::string>* neverRead) {
    std::vector<std::string> values;
    int gap = -1;
    const int most = ListKeys(format);
    // The section's keys looked up once: a long list would otherwise walk it once per key.
    std::map<std::string, std::string> keys;
    for (const IniSection& s : ini) {
        if (FoldName(s.name) != "UPDATE")
            continue;
        for (const IniKey& k : s.keys)
            keys.emplace(FoldName(k.name), k.value);
        break;
    }
    for (int n = 0; n < std::max(100, most + 1); ++n) {
        const auto at = keys.find(FoldName(KeyName(format, n)));
        const std::string value = at == keys.end() ? std::string() : at->second;
        if (value.empty()) {
            if (gap < 0)
                gap = n;
            continue;
        }
        if (n >= most)
            neverRead->push_back("[UPDATE] " + KeyName(format, n) + " is never read: the " + what +
                                 " list ends at " + KeyName(format, most - 1));
        else if (gap >= 0)
            neverRead->push_back("[UPDATE] " + KeyName(format, n) +
                                 " is never read: " + KeyName(format, gap) +
                                 " is missing and the " + what + " list ends there");
        else
            values.push_back(value);
    }
    return values;
}

const char* Cp932CharStep(const char* p) {
    if (!*p)
        return p;
    return IsLead((unsigned char)*p) && p[1] ? p + 2 : p + 1;
}

size_t NameOffset(const std::string& path) {
    size_t offset = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        const unsigned char c = (unsigned char)path[i];
        if (IsLead(c))
            ++i;
        else if (c == '\\')
            offset = i + 1;
    }
    return offset;
}

UpdateItemFields CutUpdateItem(const std::string& value) {
    UpdateItemFields item{kRuleAlways, std::string(), std::string(), false};
    const std::vector<std::string> fields = CutItems(value, 3, &item.lostPrefix);
    size_t s = 0;
    if (!fields.empty() && fields[0].size() == 1 && fields[0][0] >= '0' && fields[0][0] <= '9')
        s = 1;
    const std::string word = s < fields.size() ? FoldName(fields[s]) : std::string();
    const bool hasMode = word == "D" || word == "U" || word == "O" || word == "E";
    if (hasMode)
        item.rule = word == "D"   ? kRuleData
                    : word == "U" ? kRuleUpdate
                    : word == "O" ? kRuleOverwrite
                                  : kRuleCheck;
    const size_t pathAt = hasMode ? s + 1 : s;
    if (pathAt < fields.size())
        item.path = fields[pathAt];
    item.name = item.path.substr(NameOffset(item.path));
    return item;
}

std::vector<UpdateItemFields> ReadUpdateItems(const std::vector<IniSection>& ini) {
    std::vector<std::string> neverRead;
    std::vector<UpdateItemFields> items;
    for (const std::string& value : ReadNumberedList(ini, "UpdateFile%02i", "update", &neverRead))
        items.push_back(CutUpdateItem(value));
    return items;
}

std::vector<std::string> ReadDeleteItems(const std::vector<IniSection>& ini) {
    std::vector<std::string> neverRead;
    return ReadNumberedList(ini, "DeleteFile%02i", "delete", &neverRead);
}

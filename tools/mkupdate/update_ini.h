// UPDATE.INI read the way the updater's profile reads see it: sections and keys compared
// without regard to ASCII case, the first of two equal keys winning, values trimmed of blanks
// and of one pair of surrounding quotes.
#pragma once

#include <string>
#include <vector>

struct IniKey {
    std::string name;
    std::string value;
};

struct IniSection {
    std::string name;
    std::vector<IniKey> keys;
};

std::vector<IniSection> ParseIni(const std::string& text);

// 1 and the value when the key is there with a non-empty value, as the updater counts it.
int IniValue(const std::vector<IniSection>& ini, const char* section, const std::string& key,
             std::string* value);

// 1 when text is valid CP932 throughout; 0 and the offset of the first bad byte otherwise.
int IsCp932(const std::string& text, size_t* badAt);
// 1 when text holds multi-byte UTF-8 sequences and nothing that is not UTF-8.
int LooksLikeUtf8(const std::string& text);

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

// "UpdateFile%02i" and its kin with the number filled in.
std::string KeyName(const char* format, int n);

// The values of a numbered list of [UPDATE] ("UpdateFile%02i", "CopyFile%02i", "DeleteFile%02i")
// as the updater reads them: from 00 up to the first number missing, at most ListKeys(format).
// Keys present that the updater never reads are told in neverRead, each naming why.
const int kListKeys = 16;
// The update and delete lists may run on to this many keys: an update list longer than
// kListKeys makes pack mark the payload as one only an updater that reads long lists takes.
const int kLongListKeys = 4096;
int ListKeys(const char* format);
std::vector<std::string> ReadNumberedList(const std::vector<IniSection>& ini, const char* format,
                                          const char* what, std::vector<std::string>* neverRead);

// The DeleteFileNN paths, in order.
std::vector<std::string> ReadDeleteItems(const std::vector<IniSection>& ini);

// The write rule of an update item, by its mode word.
enum ItemRule { kRuleAlways, kRuleUpdate, kRuleData, kRuleOverwrite, kRuleCheck };

// One UpdateFileNN value cut the way the updater cuts it: at most three fields (an optional
// one-digit selector, an optional mode word d/u/o/e, the path), blanks skipped before a field,
// an empty field ending the cutting, and a byte before a colon at a field's start taken as a
// disc prefix and dropped.
struct UpdateItemFields {
    ItemRule rule;
    std::string path; // CP932; empty when the item names no file
    std::string name; // the entry it receives: the path past its last backslash
    bool lostPrefix;  // a field lost its first two characters to a disc prefix
};
UpdateItemFields CutUpdateItem(const std::string& value);

// One character of CP932 text: past a lead byte and its trail byte, or past one byte; the step
// the updater's code page gives, for the name rule it shares with mkupdate (core/path_form.h).
const char* Cp932CharStep(const char* p);

// Index of the file name in a CP932 path: past the last backslash that is no trail byte.
size_t NameOffset(const std::string& path);

// Every UpdateFileNN item the updater reads, in order.
std::vector<UpdateItemFields> ReadUpdateItems(const std::vector<IniSection>& ini);

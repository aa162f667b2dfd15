#include "mkupdate/ini_writer.h"

#include "mkupdate/update_ini.h"

std::string WriteUpdateIni(const IniContent& ini) {
    std::string text = "[SETUP]\r\n";
    text += "CompanyName=" + ini.companyName + "\r\n";
    text += "GameTitle=" + ini.gameTitle + "\r\n";
    text += "GameClass=" + ini.gameClass + "\r\n";
    text += "GameDir=" + ini.gameDir + "\r\n";
    text += "\r\n[UPDATE]\r\n";
    // A file in a folder may be new in a new folder: the run makes the folders it needs.
    for (const std::string& value : ini.updates) {
        if (value.find('\\') != std::string::npos) {
            text += "CreateFolders=1\r\n";
            break;
        }
    }
    for (size_t i = 0; i < ini.updates.size(); ++i)
        text += KeyName("UpdateFile%02i", (int)i) + "=" + ini.updates[i] + "\r\n";
    for (size_t i = 0; i < ini.deletes.size(); ++i)
        text += KeyName("DeleteFile%02i", (int)i) + "=" + ini.deletes[i] + "\r\n";
    return text;
}

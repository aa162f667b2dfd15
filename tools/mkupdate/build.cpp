#include "mkupdate/build.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include "mkupdate/host_files.h"
#include "pe/resource_section.h"

std::filesystem::path DefaultStub() {
    std::error_code ec;
#ifdef _WIN32
    std::wstring self(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, &self[0], (DWORD)self.size());
    self.resize(n);
    const std::filesystem::path exe(self);
#else
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
#endif
    return exe.parent_path() / "UPDATE.exe";
}

int EmbedPayload(const std::filesystem::path& stub, const std::vector<uint8_t>& payload,
                 const std::filesystem::path& output, std::string* error) {
    std::vector<uint8_t> image, built;
    std::vector<Resource> resources;
    if (!ReadHostFile(stub, &image, error))
        return 0;
    if (!ReadPeResources(image, true, &resources, error)) {
        *error = "stub " + Printable(stub) + ": " + *error;
        return 0;
    }
    SetPayloadResource(&resources, payload);
    if (!RebuildResourceSection(image, resources, &built, error)) {
        *error = "stub " + Printable(stub) + ": " + *error;
        return 0;
    }
    return WriteHostFile(output, built.data(), built.size(), nullptr, error);
}

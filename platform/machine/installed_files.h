// The files installed on the machine that user mode runs or loads: a Windows
// path (matched case-insensitively, as NTFS does) names a built file here,
// the shared object of a DLL or the program of an .exe. The standard machine
// fills the table at boot with what the build made; tests install their own
// test modules. A program behind the socket asks the machine, so both roads
// see one table.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/kernel/text.h"

namespace platform {

class Machine;

class InstalledFiles {
public:
    explicit InstalledFiles(Machine&) {}

    // `windowsPath` is a full path ("C:\Windows\System32\X.dll").
    void install(std::u16string_view windowsPath, std::filesystem::path file);
    void remove(std::u16string_view windowsPath);
    // The built file and the path as installed (its own letter case); nothing
    // when no such file is installed or the built file has gone.
    struct Found {
        std::u16string windowsPath;
        std::filesystem::path file;
    };
    std::optional<Found> find(std::u16string_view windowsPath) const;

private:
    mutable std::mutex lock_;
    std::map<std::u16string, Found, CaseInsensitiveLess> files_;  // guarded by lock_
};

}  // namespace platform

#include "installed_files.h"

namespace platform {

void InstalledFiles::install(std::u16string_view windowsPath, std::filesystem::path file) {
    std::lock_guard lock(lock_);
    files_[std::u16string(windowsPath)] = Found{std::u16string(windowsPath), std::move(file)};
}

void InstalledFiles::remove(std::u16string_view windowsPath) {
    std::lock_guard lock(lock_);
    if (auto it = files_.find(windowsPath); it != files_.end()) files_.erase(it);
}

std::optional<InstalledFiles::Found> InstalledFiles::find(std::u16string_view windowsPath) const {
    std::lock_guard lock(lock_);
    auto it = files_.find(windowsPath);
    if (it == files_.end()) return std::nullopt;
    std::error_code error;
    if (!std::filesystem::exists(it->second.file, error)) return std::nullopt;
    return it->second;
}

}  // namespace platform

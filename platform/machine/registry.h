// The machine's registry: keys named by their kernel path
// (`\Registry\Machine\System\CurrentControlSet\Services\...`), matched
// case-insensitively, holding typed values. With a file it persists every
// change atomically (write a temporary file, then rename), so settings
// survive a restart.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/text.h"

namespace platform {

enum class RegType : uint32_t { String = 1, ExpandString = 2, Binary = 3, Dword = 4, MultiString = 7, Qword = 11 };

struct RegValue {
    RegType type = RegType::Binary;
    std::vector<uint8_t> data;

    static RegValue dword(uint32_t value);
    static RegValue qword(uint64_t value);
    static RegValue string(std::u16string_view text);
    std::optional<uint32_t> as_dword() const;
    std::optional<std::u16string> as_string() const;
};

inline constexpr const char16_t* kServicesKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

class Registry {
public:
    // Empty path: in memory only. An existing file is loaded.
    explicit Registry(std::filesystem::path file);

    void create_key(std::u16string_view key);
    bool key_exists(std::u16string_view key) const;
    // Deletes a key with its subkeys; false when it did not exist.
    bool delete_key(std::u16string_view key);
    // Deletes a key only when it has no subkeys, as user mode's RegDeleteKey does.
    enum class LeafDelete { Deleted, Missing, HasSubkeys };
    LeafDelete delete_leaf_key(std::u16string_view key);

    std::optional<RegValue> get(std::u16string_view key, std::u16string_view name) const;
    // Creates the key when needed.
    bool set(std::u16string_view key, std::u16string_view name, RegValue value);
    // Writes into an existing key only; false when the key is gone.
    bool set_existing(std::u16string_view key, std::u16string_view name, RegValue value);
    bool erase(std::u16string_view key, std::u16string_view name);

    std::vector<std::u16string> subkeys(std::u16string_view key) const;
    std::vector<std::u16string> value_names(std::u16string_view key) const;

    // Writes the whole registry to its file (atomic); nothing without a file.
    void save() const;
    const std::filesystem::path& file() const { return file_; }

private:
    using Values = std::map<std::u16string, RegValue, CaseInsensitiveLess>;

    void load();
    void save_locked() const;

    std::filesystem::path file_;
    mutable std::mutex lock_;
    std::map<std::u16string, Values, CaseInsensitiveLess> keys_;  // guarded by lock_
};

}  // namespace platform

#include "registry.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "platform/kernel/io.h"

namespace platform {
namespace {

std::u16string Normalise(std::u16string_view key) {
    std::u16string k(key);
    while (!k.empty() && k.back() == u'\\') k.pop_back();
    return k;
}

bool IsBelow(std::u16string_view child, std::u16string_view parent) {
    return child.size() > parent.size() + 1 && child[parent.size()] == u'\\' &&
           equal_case_insensitive(child.substr(0, parent.size()), parent);
}

// The file holds one record per line; text fields are hex-encoded UTF-8 so no
// name or value can break the format.
std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out.empty() ? "-" : out;
}

std::vector<uint8_t> Unhex(const std::string& text) {
    std::vector<uint8_t> out;
    if (text == "-") return out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string HexText(std::u16string_view text) {
    std::string utf8 = narrow(text);
    return Hex(std::vector<uint8_t>(utf8.begin(), utf8.end()));
}

std::u16string UnhexText(const std::string& text) {
    auto bytes = Unhex(text);
    return widen(std::string(bytes.begin(), bytes.end()));
}

}  // namespace

RegValue RegValue::dword(uint32_t value) {
    RegValue v{RegType::Dword, std::vector<uint8_t>(4)};
    std::memcpy(v.data.data(), &value, 4);
    return v;
}

RegValue RegValue::qword(uint64_t value) {
    RegValue v{RegType::Qword, std::vector<uint8_t>(8)};
    std::memcpy(v.data.data(), &value, 8);
    return v;
}

RegValue RegValue::string(std::u16string_view text) {
    RegValue v{RegType::String, std::vector<uint8_t>((text.size() + 1) * 2)};
    std::memcpy(v.data.data(), text.data(), text.size() * 2);
    return v;
}

std::optional<uint32_t> RegValue::as_dword() const {
    if (type != RegType::Dword || data.size() != 4) return std::nullopt;
    uint32_t value;
    std::memcpy(&value, data.data(), 4);
    return value;
}

std::optional<std::u16string> RegValue::as_string() const {
    if (type != RegType::String && type != RegType::ExpandString) return std::nullopt;
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

Registry::Registry(std::filesystem::path file) : file_(std::move(file)) {
    if (!file_.empty()) load();
}

void Registry::create_key(std::u16string_view key) {
    std::lock_guard lock(lock_);
    std::u16string k = Normalise(key);
    if (keys_.count(k) == 0) {
        keys_[k];
        save_locked();
    }
}

bool Registry::key_exists(std::u16string_view key) const {
    std::lock_guard lock(lock_);
    return keys_.count(Normalise(key)) != 0;
}

bool Registry::delete_key(std::u16string_view key) {
    std::lock_guard lock(lock_);
    std::u16string k = Normalise(key);
    bool found = false;
    for (auto it = keys_.begin(); it != keys_.end();) {
        if (equal_case_insensitive(it->first, k) || IsBelow(it->first, k)) {
            it = keys_.erase(it);
            found = true;
        } else {
            ++it;
        }
    }
    if (found) save_locked();
    return found;
}

Registry::LeafDelete Registry::delete_leaf_key(std::u16string_view key) {
    std::lock_guard lock(lock_);
    std::u16string k = Normalise(key);
    auto it = keys_.find(k);
    if (it == keys_.end()) return LeafDelete::Missing;
    for (auto& [path, values] : keys_) {
        if (IsBelow(path, k)) return LeafDelete::HasSubkeys;
    }
    keys_.erase(it);
    save_locked();
    return LeafDelete::Deleted;
}

std::optional<RegValue> Registry::get(std::u16string_view key, std::u16string_view name) const {
    std::lock_guard lock(lock_);
    auto k = keys_.find(Normalise(key));
    if (k == keys_.end()) return std::nullopt;
    auto v = k->second.find(name);
    if (v == k->second.end()) return std::nullopt;
    return v->second;
}

bool Registry::set(std::u16string_view key, std::u16string_view name, RegValue value) {
    std::lock_guard lock(lock_);
    keys_[Normalise(key)][std::u16string(name)] = std::move(value);
    save_locked();
    return true;
}

bool Registry::set_existing(std::u16string_view key, std::u16string_view name, RegValue value) {
    std::lock_guard lock(lock_);
    auto k = keys_.find(Normalise(key));
    if (k == keys_.end()) return false;
    k->second[std::u16string(name)] = std::move(value);
    save_locked();
    return true;
}

bool Registry::erase(std::u16string_view key, std::u16string_view name) {
    std::lock_guard lock(lock_);
    auto k = keys_.find(Normalise(key));
    if (k == keys_.end()) return false;
    auto v = k->second.find(name);
    if (v == k->second.end()) return false;
    k->second.erase(v);
    save_locked();
    return true;
}

std::vector<std::u16string> Registry::subkeys(std::u16string_view key) const {
    std::lock_guard lock(lock_);
    std::u16string k = Normalise(key);
    std::vector<std::u16string> names;
    for (auto& [path, values] : keys_) {
        if (!IsBelow(path, k)) continue;
        std::u16string rest = path.substr(k.size() + 1);
        if (rest.find(u'\\') == std::u16string::npos) names.push_back(rest);
    }
    return names;
}

std::vector<std::u16string> Registry::value_names(std::u16string_view key) const {
    std::lock_guard lock(lock_);
    std::vector<std::u16string> names;
    auto k = keys_.find(Normalise(key));
    if (k == keys_.end()) return names;
    for (auto& [name, value] : k->second) names.push_back(name);
    return names;
}

void Registry::save() const {
    std::lock_guard lock(lock_);
    save_locked();
}

void Registry::save_locked() const {
    if (file_.empty()) return;
    std::ostringstream text;
    text << "vexa-registry 1\n";
    for (auto& [key, values] : keys_) {
        text << "key " << HexText(key) << '\n';
        for (auto& [name, value] : values) {
            text << "value " << HexText(name) << ' ' << static_cast<uint32_t>(value.type) << ' ' << Hex(value.data)
                 << '\n';
        }
    }
    std::filesystem::path temporary = file_;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text.str();
        out.flush();
        if (!out) return;
    }
    // rename() replaces the old file in one step: a crash leaves the old or the new registry, never half of one.
    std::filesystem::rename(temporary, file_);
}

void Registry::load() {
    std::ifstream in(file_);
    if (!in) return;
    std::string header;
    std::getline(in, header);
    if (header != "vexa-registry 1") return;
    std::u16string current;
    std::string word;
    while (in >> word) {
        if (word == "key") {
            std::string key;
            in >> key;
            current = UnhexText(key);
            keys_[current];
        } else if (word == "value") {
            std::string name, data;
            uint32_t type = 0;
            in >> name >> type >> data;
            keys_[current][UnhexText(name)] = RegValue{static_cast<RegType>(type), Unhex(data)};
        } else {
            break;
        }
    }
}

}  // namespace platform

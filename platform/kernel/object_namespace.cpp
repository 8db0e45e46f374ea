#include "object_namespace.h"

#include <algorithm>

namespace platform {
namespace {

// Splits `path` at the longest key of `map` that is a prefix ending at a '\' or the end.
template <typename Map>
auto LongestPrefix(const Map& map, std::u16string_view path) -> std::pair<typename Map::const_iterator, size_t> {
    for (size_t length = path.size(); length > 0; --length) {
        if (length != path.size() && path[length] != u'\\') continue;
        auto it = map.find(path.substr(0, length));
        if (it != map.end()) return {it, length};
    }
    return {map.end(), 0};
}

}  // namespace

void ObjectNamespace::add_device(std::u16string name, DEVICE_OBJECT* device) {
    std::lock_guard lock(lock_);
    devices_[std::move(name)] = device;
}

void ObjectNamespace::remove_device(std::u16string_view name) {
    std::lock_guard lock(lock_);
    auto it = devices_.find(name);
    if (it != devices_.end()) devices_.erase(it);
}

void ObjectNamespace::add_link(std::u16string link, std::u16string target) {
    std::lock_guard lock(lock_);
    links_[std::move(link)] = std::move(target);
}

void ObjectNamespace::remove_link(std::u16string_view link) {
    std::lock_guard lock(lock_);
    auto it = links_.find(link);
    if (it != links_.end()) links_.erase(it);
}

std::optional<ObjectNamespace::Resolved> ObjectNamespace::resolve(std::u16string_view path) const {
    std::lock_guard lock(lock_);
    std::u16string current(path);
    // Links may point at links; a short bound keeps a cycle from hanging us.
    for (int hops = 0; hops < 8; ++hops) {
        auto [device, deviceLength] = LongestPrefix(devices_, current);
        if (device != devices_.end()) return Resolved{device->second, current.substr(deviceLength)};
        auto [link, linkLength] = LongestPrefix(links_, current);
        if (link == links_.end()) return std::nullopt;
        current = link->second + current.substr(linkLength);
    }
    return std::nullopt;
}

}  // namespace platform

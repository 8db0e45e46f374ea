// Named device objects (`\Device\...`) and symbolic links (`\??\...`), looked
// up case-insensitively by longest prefix; the rest of the path is the file
// name the device sees.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "text.h"

struct DEVICE_OBJECT;

namespace platform {

class ObjectNamespace {
public:
    struct Resolved {
        DEVICE_OBJECT* device;
        std::u16string remainder;  // starts with '\' or is empty
    };

    void add_device(std::u16string name, DEVICE_OBJECT* device);
    void remove_device(std::u16string_view name);
    void add_link(std::u16string link, std::u16string target);
    void remove_link(std::u16string_view link);

    std::optional<Resolved> resolve(std::u16string_view path) const;

private:
    mutable std::mutex lock_;
    std::map<std::u16string, DEVICE_OBJECT*, CaseInsensitiveLess> devices_;   // guarded by lock_
    std::map<std::u16string, std::u16string, CaseInsensitiveLess> links_;      // guarded by lock_
};

}  // namespace platform

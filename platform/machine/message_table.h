// Reads the message table that a driver image carries (see
// platform/kernel/message_resource.h) from the image file on disk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace platform {

// Message id -> text (with its trailing "\r\n"); empty when the image has none.
std::map<uint32_t, std::string> read_message_table(const std::filesystem::path& image);

}  // namespace platform

// The system event log: entries written by drivers through the error-log
// calls, rendered with the message table of the writing driver's image.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/io.h"

namespace platform {

struct EventLogEntry {
    uint64_t time = 0;            // interrupt time, 100 ns units
    std::string source;           // the driver's service name
    uint8_t majorFunction = 0;
    uint32_t errorCode = 0;       // the message id
    int32_t finalStatus = 0;
    uint16_t numberOfStrings = 0;
    uint16_t dumpDataSize = 0;
    std::string message;          // the rendered text, without the trailing "\r\n"
};

class EventLog {
public:
    // With a non-empty folder every entry is also appended to "eventlog.txt" there.
    explicit EventLog(std::filesystem::path folder);

    void write(const std::string& source, const std::filesystem::path& image, const IO_ERROR_LOG_PACKET& packet,
               uint64_t time);
    std::vector<EventLogEntry> entries() const;
    size_t size() const;
    void clear();

    // One line as the event-log reader prints it.
    static std::string format(const EventLogEntry& entry);

private:
    std::string render(const std::filesystem::path& image, uint32_t id);

    std::filesystem::path file_;
    mutable std::mutex lock_;
    std::vector<EventLogEntry> entries_;                                   // guarded by lock_
    std::map<std::filesystem::path, std::map<uint32_t, std::string>> tables_;  // guarded by lock_
};

}  // namespace platform

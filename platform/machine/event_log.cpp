#include "event_log.h"

#include <cstdio>
#include <fstream>

#include "message_table.h"

namespace platform {

EventLog::EventLog(std::filesystem::path folder) {
    if (!folder.empty()) file_ = folder / "eventlog.txt";
}

std::string EventLog::render(const std::filesystem::path& image, uint32_t id) {
    auto table = tables_.find(image);
    if (table == tables_.end()) table = tables_.emplace(image, read_message_table(image)).first;
    auto text = table->second.find(id);
    if (text == table->second.end()) {
        char fallback[64];
        std::snprintf(fallback, sizeof(fallback), "(no message text for 0x%08X)", id);
        return fallback;
    }
    std::string message = text->second;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    return message;
}

void EventLog::write(const std::string& source, const std::filesystem::path& image,
                     const IO_ERROR_LOG_PACKET& packet, uint64_t time) {
    std::lock_guard lock(lock_);
    EventLogEntry entry;
    entry.time = time;
    entry.source = source;
    entry.majorFunction = packet.MajorFunctionCode;
    entry.errorCode = static_cast<uint32_t>(packet.ErrorCode);
    entry.finalStatus = packet.FinalStatus;
    entry.numberOfStrings = packet.NumberOfStrings;
    entry.dumpDataSize = packet.DumpDataSize;
    entry.message = render(image, entry.errorCode);
    if (!file_.empty()) {
        std::ofstream out(file_, std::ios::app);
        out << format(entry) << '\n';
    }
    entries_.push_back(std::move(entry));
}

std::vector<EventLogEntry> EventLog::entries() const {
    std::lock_guard lock(lock_);
    return entries_;
}

size_t EventLog::size() const {
    std::lock_guard lock(lock_);
    return entries_.size();
}

void EventLog::clear() {
    std::lock_guard lock(lock_);
    entries_.clear();
}

std::string EventLog::format(const EventLogEntry& entry) {
    char head[160];
    std::snprintf(head, sizeof(head), "%10.3f ms  %-18s major 0x%02X  event 0x%08X  status 0x%08X  ",
                  static_cast<double>(entry.time) / 10000.0, entry.source.c_str(), entry.majorFunction,
                  entry.errorCode, static_cast<uint32_t>(entry.finalStatus));
    return head + entry.message;
}

}  // namespace platform

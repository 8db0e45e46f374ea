// The machine's logger read as a user-mode client of it reads it: this test
// program joins the machine behind its socket as a process of its own, opens
// the logger and maps its standard ring, then reads the records straight from
// the ring. The records of another process (the panel) land there too.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/machine/logger_protocol.h"

namespace platform::win32 {
class UserProcess;
}

namespace cpl::test {

class MachineLogger {
public:
    explicit MachineLogger(const std::string& socket);
    ~MachineLogger();
    MachineLogger(const MachineLogger&) = delete;
    MachineLogger& operator=(const MachineLogger&) = delete;

    bool ok() const { return records_ != nullptr; }
    const std::string& error() const { return error_; }

    // The ring's header as mapped here; its enable mask is the logger's own word.
    vexa::log::LogRingHeader& header() { return *header_; }
    uint32_t writeCount() const;
    // The complete records written from the count `from` on, oldest first.
    std::vector<vexa::log::LogRecord> recordsSince(uint32_t from) const;

private:
    std::shared_ptr<platform::win32::UserProcess> process_;
    void* logger_ = nullptr;
    vexa::log::LogRingHeader* header_ = nullptr;
    const vexa::log::LogRecord* records_ = nullptr;
    std::string error_;
};

}  // namespace cpl::test

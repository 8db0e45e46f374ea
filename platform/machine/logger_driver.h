// Stand-in for the outside logger driver MrakDriverLogger: it answers its
// version request, hands out its "STND" and "REAL" ring headers (the rings
// live in shared memory, so a client in another process can map them), and
// takes one-record writes. Tests read the rings back through it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/kernel/io.h"
#include "logger_protocol.h"

namespace platform {

struct LoggerConfig {
    bool present = true;
    uint32_t version = vexa::log::kLoggerVersion;
    uint32_t records = 1024;          // per ring, a power of two
    uint32_t enableMask = 0xFFFFFFFF;  // every level and category on
    bool zeroRingAddress = false;      // a faulty logger: maps a ring but answers address 0
};

class LoggerDriver : public IrpHandler {
public:
    explicit LoggerDriver(LoggerConfig config = {});
    ~LoggerDriver() override;

    // Replaces the logger (a new device with fresh rings, or none). Clients
    // that opened the old one keep their mappings until they close.
    void configure(LoggerConfig config);
    const LoggerConfig& config() const { return config_; }

    vexa::log::LogRingHeader* header(uint32_t tag);
    // The complete records in the ring, oldest first.
    std::vector<vexa::log::LogRecord> records(uint32_t tag);
    // The ring's shared-memory descriptor and size (for mapping into a process).
    int ring_fd(uint32_t tag);
    size_t ring_bytes() const;

    // How often a client has opened the logger, and how many ring mappings it
    // has made into user processes (one per ring and process, however often
    // a process asks).
    size_t opens();
    size_t user_mappings();
    // The last write request exactly as it arrived (every byte, reserved ones included).
    std::optional<vexa::log::LogWriteRequest> last_write();

    NTSTATUS dispatch_irp(DEVICE_OBJECT* device, IRP* irp) override;

private:
    struct Ring {
        int fd = -1;
        void* base = nullptr;
        size_t bytes = 0;
        vexa::log::LogRingHeader* header = nullptr;
        vexa::log::LogRecord* records = nullptr;
    };

    void create_rings();
    void destroy_rings();
    Ring* ring(uint32_t tag);
    void append(Ring& ring, const vexa::log::LogRecord& record);
    // Record number `n` of a ring of `size` records, when it can be read whole.
    static bool read_whole(const Ring& ring, uint32_t n, uint32_t size, vexa::log::LogRecord* out);
    // kIoctlLoggerMapRingUser from a user process: the ring mapped into it.
    NTSTATUS map_user(IRP* irp, ULONG_PTR* information);

    std::mutex lock_;
    std::mutex mapLock_;  // one user mapping at a time, taken before lock_ (a mapping may wait for a remote process)
    LoggerConfig config_;
    DEVICE_OBJECT device_{};
    bool registered_ = false;
    Ring standard_;
    Ring realtime_;
    std::vector<Ring> retired_;  // rings of an earlier configuration, still mapped by old clients
    size_t opens_ = 0;           // guarded by lock_
    std::optional<vexa::log::LogWriteRequest> lastWrite_;  // guarded by lock_
    // Where each ring is mapped in each user process, by process id and the
    // ring's descriptor. Process ids are never reused, so an ended process's
    // entries are only unused, never wrong.
    std::map<std::pair<ULONG, int>, uint64_t> userMappings_;  // guarded by lock_
};

}  // namespace platform

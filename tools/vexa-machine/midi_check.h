// What vexa-machine's "midi" command does: sends MIDI bytes out of a port of
// the current interface through the output child's driver (the stand-in),
// lets the interface loop them back, and reports what the input child's
// driver received. It holds both stand-in images, so their records outlive
// the machine loading and unloading them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/doubles/midi_double.h"

namespace vexa::machine {

class MidiCheck {
public:
    explicit MidiCheck(const std::filesystem::path& doublesDir);
    ~MidiCheck();
    MidiCheck(const MidiCheck&) = delete;
    MidiCheck& operator=(const MidiCheck&) = delete;

    bool available() const { return in_ != nullptr && out_ != nullptr; }
    // `port` counts from 1, as the ports' names do. Waits up to `waitMs` of
    // wall time for the bytes to come back; the line to print.
    std::string run(uint32_t port, const std::vector<uint8_t>& bytes, unsigned waitMs = 2000);

private:
    void* inImage_ = nullptr;
    void* outImage_ = nullptr;
    doubles::MidiDoubleState* in_ = nullptr;
    doubles::MidiDoubleState* out_ = nullptr;
};

// "90 3c 64" as bytes; false on anything that is not a hex byte.
bool ParseMidiBytes(const std::vector<std::string>& words, std::vector<uint8_t>* bytes);

}  // namespace vexa::machine

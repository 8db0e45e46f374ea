#include "midi_check.h"

#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace vexa::machine {
namespace {

doubles::MidiDoubleState* Open(const std::filesystem::path& image, void** module) {
    *module = dlopen(image.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (*module == nullptr) return nullptr;
    auto get = reinterpret_cast<doubles::MidiDoubleGetStateFn>(dlsym(*module, "MidiDoubleGetState"));
    return get != nullptr ? get() : nullptr;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char digits[4];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof(digits), "%s%02x", text.empty() ? "" : " ", b);
        text += digits;
    }
    return text.empty() ? "nothing" : text;
}

}  // namespace

MidiCheck::MidiCheck(const std::filesystem::path& doublesDir) {
    in_ = Open(doublesDir / (std::string(doubles::kMidiInService) + ".so"), &inImage_);
    out_ = Open(doublesDir / (std::string(doubles::kMidiOutService) + ".so"), &outImage_);
}

MidiCheck::~MidiCheck() {
    if (inImage_ != nullptr) dlclose(inImage_);
    if (outImage_ != nullptr) dlclose(outImage_);
}

std::string MidiCheck::run(uint32_t port, const std::vector<uint8_t>& bytes, unsigned waitMs) {
    if (!available()) return "the MIDI child drivers are not installed";
    if (port == 0) return "MIDI ports count from 1";
    uint32_t index = port - 1;
    size_t before = in_->received(index).size();
    int32_t status = out_->send(index, bytes);
    if (status < 0) {
        char text[96];
        std::snprintf(text, sizeof(text), "MIDI out port %u is not open (status 0x%08X)", port,
                      static_cast<unsigned>(status));
        return text;
    }
    // The bytes travel the simulated interface in real time: give them a moment.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    std::vector<uint8_t> received;
    for (;;) {
        std::vector<uint8_t> all = in_->received(index);
        received.assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())), all.end());
        if (received.size() >= bytes.size() || std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return "midi port " + std::to_string(port) + ": sent " + Hex(bytes) + ", the input driver received " + Hex(received);
}

bool ParseMidiBytes(const std::vector<std::string>& words, std::vector<uint8_t>* bytes) {
    bytes->clear();
    for (const std::string& word : words) {
        if (word.empty() || word.size() > 2) return false;
        unsigned value = 0;
        for (char c : word) {
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        bytes->push_back(static_cast<uint8_t>(value));
    }
    return !bytes->empty();
}

}  // namespace vexa::machine

// The device proxy's channel labels, by which the WDM channel maps name
// channels: the device's own names at its current rate, or numbered defaults.
#define LOG_FILE_NUMBER 170

#include "device/usb_audio_device_target.h"
#include "logger.h"
#include "platform/kernel/strsafe.h"

using namespace vexa::log;

namespace {

// `name` (ANSI, NUL-terminated within kNameBytes) when it is not empty, else "<fallback> <index + 1>".
void Label(const char* name, bool named, const WCHAR* fallback, ULONG index, WCHAR* label) {
    if (named && name[0] != 0) {
        (void)RtlStringCchPrintfW(label, kChannelLabelChars, u"%S", name);
    } else {
        (void)RtlStringCchPrintfW(label, kChannelLabelChars, u"%s %d", fallback, static_cast<int>(index + 1));
    }
}

}  // namespace

void UsbAudioDeviceTarget::GetOutputChannelLabel(ULONG index, WCHAR* label) {
    char name[kNameBytes] = {};
    bool named = GetOutputChannelName(GetSampleRate(), index, name, sizeof(name));
    Label(name, named, u"Output", index, label);
}

void UsbAudioDeviceTarget::GetInputChannelLabel(ULONG index, WCHAR* label) {
    char name[kNameBytes] = {};
    bool named = GetInputChannelName(GetSampleRate(), index, name, sizeof(name));
    Label(name, named, u"Input", index, label);
}

NTSTATUS UsbAudioDeviceTarget::FindChannelByName(PCUNICODE_STRING name, LONG* index, bool input) {
    ULONG rate = GetSampleRate();
    ULONG count = input ? GetInputChannelCount(rate) : GetOutputChannelCount(rate);
    if (count == 0) return STATUS_UNSUCCESSFUL;
    WCHAR label[kChannelLabelChars];
    for (ULONG channel = 0; channel < count; ++channel) {
        if (input) {
            GetInputChannelLabel(channel, label);
        } else {
            GetOutputChannelLabel(channel, label);
        }
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, label);
        // The walk goes on past a match: the last matching channel wins.
        if (RtlEqualUnicodeString(&text, name, TRUE)) *index = static_cast<LONG>(channel);
    }
    TRACE(kLogDetail | kLogWdm, count, input);
    return STATUS_SUCCESS;
}

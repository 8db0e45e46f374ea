// A public record may include no wing at all.
#pragma once
#include "engine/audio_client.h"
